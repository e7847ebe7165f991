// A virtual card for the real-chain tests, driven from a script: inserted into the vpcd reader
// on PORT while this program runs, taken out when its standard input closes (or at SIGTERM).
//   virtual_card PORT   -> prints "inserted" once vpcd has the card
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "tests/pcsc/pcsc_rig.h"

namespace {
void ignore(int) {}
}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: virtual_card PORT\n");
        return 2;
    }
    struct sigaction quiet {};
    quiet.sa_handler = ignore;
    sigaction(SIGTERM, &quiet, nullptr);  // a signal ends the wait below, then the card leaves
    VirtualCard card(std::atoi(argv[1]));
    if (!card.insert()) {
        std::fprintf(stderr, "no vpcd reader on port %s\n", argv[1]);
        return 1;
    }
    std::printf("inserted\n");
    std::fflush(stdout);
    char byte;
    while (::read(0, &byte, 1) > 0) {
    }
    card.remove();
    return 0;
}
