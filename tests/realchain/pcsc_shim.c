/* Test environment only: what Debian's Wine 10 passes to pcsc-lite, mended where it differs from
   what Windows' card service would be given.

   1. Its 32-bit Wine reaches pcsc-lite with the wrong argument sizes.

   Its 32-bit winscard unix library declares pcsc-lite's calls as the 64-bit library has them: every
   DWORD, handle and length as a 64-bit value, and each reader state as five 64-bit words. The 32-bit
   pcsc-lite takes 32-bit ones, so every argument after the first lands in the wrong place and the
   very first call, SCardEstablishContext, fails with SCARD_E_INVALID_PARAMETER (0x80100004) without
   reaching pcscd. To see the fault, start a 32-bit program that uses the card service without this
   library in LD_PRELOAD and with WINEDEBUG=+winscard.

   Preloaded into the 32-bit Wine processes, this library takes Wine's calls and makes the 32-bit
   ones. It covers the calls that the product's card library makes (context, reader list, status
   change, cancel). Built for 64 bits too, where the sizes already agree, it passes them on as
   they are.

   2. Both Wines hand pcsc-lite every reader's current state as unaware (0; dlls/winscard,
   map_states_in), so every status query returns at once and nothing ever waits. With
   KREV_PCSC_GIVE_STATES_BACK=1 in the environment, a reader that Wine passes as unaware gets the
   state that the last call on the same context returned for it, as the caller gave it on
   Windows; a reader that no call of that context has answered yet (new, or answered as unknown,
   or in a call that failed) stays unaware, as a caller asks one afresh.

   On Windows the card service is the system's own and none of this applies. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#define ATR_SIZE 33
#define INSUFFICIENT_BUFFER ((long)0x80100008UL)
#define NO_MEMORY ((long)0x80100006UL)
#define LOAD_FAILED ((long)0x80100001UL)
#define STATE_CHANGED 0x0002UL
#define STATE_UNKNOWN 0x0004UL

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

/* The states that the last calls returned, by context and reader name. */
#define REMEMBERED 64
#define NAME_SIZE 256
static struct {
    long context;
    char reader[NAME_SIZE];
    unsigned long state;
} remembered[REMEMBERED];
static pthread_mutex_t remembered_lock = PTHREAD_MUTEX_INITIALIZER;

static int giving_states_back(void) {
    const char* give = getenv("KREV_PCSC_GIVE_STATES_BACK");
    return give && strcmp(give, "1") == 0;
}

static int remembered_at(long context, const char* reader) {
    for (int i = 0; i < REMEMBERED; ++i) {
        if (remembered[i].reader[0] && remembered[i].context == context && strcmp(remembered[i].reader, reader) == 0) {
            return i;
        }
    }
    return -1;
}

static void forget_context(long context) {
    for (int i = 0; i < REMEMBERED; ++i) {
        if (remembered[i].context == context) remembered[i].reader[0] = '\0';
    }
}

static void give_states_back(long context, struct pcsc_reader_state* states, unsigned long count) {
    pthread_mutex_lock(&remembered_lock);
    for (unsigned long i = 0; i < count; ++i) {
        if (states[i].current_state != 0 || !states[i].reader) continue;
        const int at = remembered_at(context, states[i].reader);
        if (at >= 0) states[i].current_state = remembered[at].state;
    }
    pthread_mutex_unlock(&remembered_lock);
}

static void remember_states(long context, long result, const struct pcsc_reader_state* states, unsigned long count) {
    pthread_mutex_lock(&remembered_lock);
    if (result != 0 && result != (long)0x8010000AUL /* SCARD_E_TIMEOUT */) {
        forget_context(context);
    } else if (result == 0) {
        for (unsigned long i = 0; i < count; ++i) {
            if (!states[i].reader || strlen(states[i].reader) >= NAME_SIZE) continue;
            int at = remembered_at(context, states[i].reader);
            if (states[i].event_state & STATE_UNKNOWN) {
                if (at >= 0) remembered[at].reader[0] = '\0';
                continue;
            }
            for (int free_slot = 0; at < 0 && free_slot < REMEMBERED; ++free_slot) {
                if (!remembered[free_slot].reader[0]) at = free_slot;
            }
            if (at < 0) continue;
            remembered[at].context = context;
            strcpy(remembered[at].reader, states[i].reader);
            remembered[at].state = states[i].event_state & ~STATE_CHANGED;
        }
    }
    pthread_mutex_unlock(&remembered_lock);
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
    pthread_mutex_lock(&remembered_lock);
    forget_context(context_of(context));
    pthread_mutex_unlock(&remembered_lock);
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
    const int give_back = giving_states_back();
    if (give_back) give_states_back(context_of(context), pcsc, (unsigned long)count);
    const long result = call(context_of(context), (unsigned long)timeout, pcsc, (unsigned long)count);
    if (give_back) remember_states(context_of(context), result, pcsc, (unsigned long)count);
    for (uint64_t i = 0; i < count; ++i) {
        wine[i].current_state = pcsc[i].current_state;
        wine[i].event_state = pcsc[i].event_state;
        wine[i].atr_size = pcsc[i].atr_size <= ATR_SIZE ? pcsc[i].atr_size : ATR_SIZE;
        memcpy(wine[i].atr, pcsc[i].atr, ATR_SIZE);
    }
    free(pcsc);
    return result;
}
