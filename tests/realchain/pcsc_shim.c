/* Test environment only: the 32-bit Wine 10 of Debian reaches pcsc-lite with the wrong argument sizes.

   Its 32-bit winscard unix library declares pcsc-lite's calls as the 64-bit library has them: every
   DWORD, handle and length as a 64-bit value, and each reader state as five 64-bit words. The 32-bit
   pcsc-lite takes 32-bit ones, so every argument after the first lands in the wrong place and the
   very first call, SCardEstablishContext, fails with SCARD_E_INVALID_PARAMETER (0x80100004) without
   reaching pcscd. To see the fault, start a 32-bit program that uses the card service without this
   library in LD_PRELOAD and with WINEDEBUG=+winscard.

   Preloaded into the 32-bit Wine processes, this library takes Wine's calls and makes the 32-bit
   ones. It covers the calls that the product's card library makes (context, reader list, status
   change, cancel); a 64-bit process ignores it, since ld.so's $LIB finds no file for it there.
   On Windows the card service is the system's own and none of this applies. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#define ATR_SIZE 33
#define INSUFFICIENT_BUFFER ((long)0x80100008UL)
#define NO_MEMORY ((long)0x80100006UL)
#define LOAD_FAILED ((long)0x80100001UL)

/* Wine's reader state, five 64-bit words and the ATR. Its Windows side fills the array, with the
   Windows alignment of 64-bit words (8 bytes, so 80 bytes a record; 4 and 76 in Linux's i386 ABI). */
typedef uint64_t windows_uint64 __attribute__((aligned(8)));
struct wine_reader_state {
    windows_uint64 reader;
    windows_uint64 user_data;
    windows_uint64 current_state;
    windows_uint64 event_state;
    windows_uint64 atr_size;
    unsigned char atr[ATR_SIZE];
};
_Static_assert(sizeof(struct wine_reader_state) == 80, "the Windows layout of Wine's reader state");

/* pcsc-lite's SCARD_READERSTATE on i386: pointers and DWORDs of 32 bits. */
struct pcsc_reader_state {
    const char* reader;
    void* user_data;
    unsigned long current_state;
    unsigned long event_state;
    unsigned long atr_size;
    unsigned char atr[ATR_SIZE];
};

/* Every call into the card service comes here once: with KREV_PCSC_CALL_LOG naming a file, each
   is written there as a line with its name, so that the benchmark counts what an idle Krev costs. */
static void count_call(const char* name) {
    const char* log = getenv("KREV_PCSC_CALL_LOG");
    if (!log || !*log) return;
    const int file = open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (file < 0) return;
    char line[64];
    const size_t length = strlen(name) < sizeof line - 1 ? strlen(name) : sizeof line - 1;
    memcpy(line, name, length);
    line[length] = '\n';
    (void)!write(file, line, length + 1);
    close(file);
}

/* The real call, from the pcsc-lite that Wine's winscard library brought in: Wine loads that
   library privately (RTLD_LOCAL), so RTLD_NEXT would not find it; opening it again by name
   returns the copy already loaded. */
static void* real(const char* name) {
    static void* library;
    if (!library) library = dlopen("libpcsclite.so.1", RTLD_NOW);
    count_call(name);
    return library ? dlsym(library, name) : NULL;
}

static long context_of(uint64_t handle) {
    return (long)(uint32_t)handle;
}

long SCardEstablishContext(uint64_t scope, const void* reserved1, const void* reserved2, uint64_t* context) {
    long (*call)(unsigned long, const void*, const void*, long*) = real("SCardEstablishContext");
    if (!call) return LOAD_FAILED;
    long context32 = 0;
    const long result = call((unsigned long)scope, reserved1, reserved2, &context32);
    if (context) *context = (uint32_t)context32;
    return result;
}

static long call_with_context(const char* name, uint64_t context) {
    long (*call)(long) = real(name);
    return call ? call(context_of(context)) : LOAD_FAILED;
}

long SCardReleaseContext(uint64_t context) {
    return call_with_context("SCardReleaseContext", context);
}

long SCardIsValidContext(uint64_t context) {
    return call_with_context("SCardIsValidContext", context);
}

long SCardCancel(uint64_t context) {
    return call_with_context("SCardCancel", context);
}

long SCardListReaders(uint64_t context, const char* groups, char* readers, uint64_t* length) {
    long (*call)(long, const char*, char*, unsigned long*) = real("SCardListReaders");
    if (!call) return LOAD_FAILED;
    unsigned long length32 = length ? (unsigned long)*length : 0;
    const long result = call(context_of(context), groups, readers, length ? &length32 : NULL);
    if (length) *length = length32;
    return result;
}

long SCardListReaderGroups(uint64_t context, char* groups, uint64_t* length) {
    long (*call)(long, char*, unsigned long*) = real("SCardListReaderGroups");
    if (!call) return LOAD_FAILED;
    unsigned long length32 = length ? (unsigned long)*length : 0;
    const long result = call(context_of(context), groups, length ? &length32 : NULL);
    if (length) *length = length32;
    return result;
}

long SCardGetStatusChange(uint64_t context, uint64_t timeout, void* states, uint64_t count) {
    long (*call)(long, unsigned long, struct pcsc_reader_state*, unsigned long) = real("SCardGetStatusChange");
    if (!call) return LOAD_FAILED;
    if (count > 4096) return INSUFFICIENT_BUFFER;
    struct wine_reader_state* wine = states;
    struct pcsc_reader_state* pcsc = calloc(count ? (size_t)count : 1, sizeof *pcsc);
    if (!pcsc) return NO_MEMORY;
    for (uint64_t i = 0; i < count; ++i) {
        pcsc[i].reader = (const char*)(uintptr_t)wine[i].reader;
        pcsc[i].user_data = (void*)(uintptr_t)wine[i].user_data;
        pcsc[i].current_state = (unsigned long)wine[i].current_state;
        pcsc[i].event_state = (unsigned long)wine[i].event_state;
        pcsc[i].atr_size = wine[i].atr_size <= ATR_SIZE ? (unsigned long)wine[i].atr_size : ATR_SIZE;
        memcpy(pcsc[i].atr, wine[i].atr, ATR_SIZE);
    }
    const long result = call(context_of(context), (unsigned long)timeout, pcsc, (unsigned long)count);
    for (uint64_t i = 0; i < count; ++i) {
        wine[i].current_state = pcsc[i].current_state;
        wine[i].event_state = pcsc[i].event_state;
        wine[i].atr_size = pcsc[i].atr_size <= ATR_SIZE ? pcsc[i].atr_size : ATR_SIZE;
        memcpy(wine[i].atr, pcsc[i].atr, ATR_SIZE);
    }
    free(pcsc);
    return result;
}
