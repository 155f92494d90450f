#include "check/ctrl_c.h"

// The threads whose requests Ctrl-C cancels: the main one and the soak's.
const int CANCELLED_THREADS = 8;

// The state the console's handler shares with the checks; the handler runs
// on a thread of its own.
struct CtrlCWatch {
    CRITICAL_SECTION lock; // Over threads and cancelling.
    HANDLE self;           // The main thread, which watches.
    HANDLE threads[CANCELLED_THREADS];
    volatile LONG interrupted;
    volatile LONG cancelling;
    volatile LONG finished;
};

static CtrlCWatch watch;

// Cancels what the checks' threads wait for until the checks stop, and
// holds the process while the levels are restored: for a console closing,
// the process ends when this returns.
static BOOL WINAPI OnCtrlC(DWORD event)
{
    (void)event;
    InterlockedExchange(&watch.interrupted, 1);
    while (!watch.finished) {
        EnterCriticalSection(&watch.lock);
        for (int i = 0; watch.cancelling && i < CANCELLED_THREADS; i++) {
            if (watch.threads[i] != NULL) {
                CancelSynchronousIo(watch.threads[i]);
            }
        }
        LeaveCriticalSection(&watch.lock);
        Sleep(20);
    }
    return TRUE;
}

bool WatchCtrlC(void)
{
    InitializeCriticalSection(&watch.lock);
    watch.cancelling = 1;
    if (DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &watch.self, 0, FALSE,
                        DUPLICATE_SAME_ACCESS)) {
        CancelOnCtrlC(watch.self);
    }
    return SetConsoleCtrlHandler(OnCtrlC, TRUE) != FALSE;
}

bool Interrupted(void)
{
    return watch.interrupted != 0;
}

void CancelOnCtrlC(HANDLE thread)
{
    EnterCriticalSection(&watch.lock);
    for (int i = 0; i < CANCELLED_THREADS; i++) {
        if (watch.threads[i] == NULL) {
            watch.threads[i] = thread;
            break;
        }
    }
    LeaveCriticalSection(&watch.lock);
}

void ForgetOnCtrlC(HANDLE thread)
{
    EnterCriticalSection(&watch.lock);
    for (int i = 0; i < CANCELLED_THREADS; i++) {
        if (watch.threads[i] == thread) {
            watch.threads[i] = NULL;
        }
    }
    LeaveCriticalSection(&watch.lock);
}

void StopCancelling(void)
{
    // Taking the lock waits for a round of cancelling under way to end.
    EnterCriticalSection(&watch.lock);
    InterlockedExchange(&watch.cancelling, 0);
    LeaveCriticalSection(&watch.lock);
}

void FinishWatching(void)
{
    StopCancelling();
    // A running handler returns first: the handlers' list may be locked
    // while one runs.
    InterlockedExchange(&watch.finished, 1);
    SetConsoleCtrlHandler(OnCtrlC, FALSE);
    if (watch.self != NULL) {
        ForgetOnCtrlC(watch.self);
        CloseHandle(watch.self);
    }
    // The lock stays: a handler that is running takes it until it sees the
    // run finished, and the process ends next.
}
