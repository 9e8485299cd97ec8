// Preloaded into the ThreadSanitizer test runs (scripts/sanitize): Qt 5 takes and releases its
// mutexes and read-write locks inside libQt5Core, which is not instrumented, so ThreadSanitizer never learns that a
// QMutex orders the threads using it and reports every access under one as a race. These
// definitions come before libQt5Core's in the lookup order, call the real ones, and tell the
// runtime about the ordering: a release before a mutex is given up, an acquire once it is held.
//
// Not instrumented itself, and it links nothing: loaded into a process without the runtime (a
// shell, a MariaDB tool) the weak references below are null, and into one without Qt the
// definitions are never called.
#include <QDeadlineTimer>
#include <QMutex>
#include <QReadWriteLock>
#include <QWaitCondition>

#include <dlfcn.h>

extern "C" {
void __tsan_acquire(void *address) __attribute__((weak));
void __tsan_release(void *address) __attribute__((weak));
}

namespace {

void acquired(const void *mutex)
{
    if (__tsan_acquire)
        __tsan_acquire(const_cast<void *>(mutex));
}

void releasing(const void *mutex)
{
    if (__tsan_release)
        __tsan_release(const_cast<void *>(mutex));
}

// The definition the dynamic linker would have picked without this library, looked up once into
// a static set up without a guard: a guard would need the C++ runtime, which C programs lack.
template <typename Function>
Function next(Function *cache, const char *symbol)
{
    Function found = __atomic_load_n(cache, __ATOMIC_ACQUIRE);
    if (!found) {
        found = reinterpret_cast<Function>(dlsym(RTLD_NEXT, symbol));
        __atomic_store_n(cache, found, __ATOMIC_RELEASE);
    }
    return found;
}

#define REAL(symbol, ...) \
    using Real = __VA_ARGS__; \
    static Real cached = nullptr; \
    const Real real = next(&cached, symbol)

} // namespace

void QMutex::lock() QT_MUTEX_LOCK_NOEXCEPT
{
    REAL("_ZN6QMutex4lockEv", void (*)(QMutex *));
    real(this);
    acquired(this);
}

bool QMutex::tryLock(int timeout) QT_MUTEX_LOCK_NOEXCEPT
{
    REAL("_ZN6QMutex7tryLockEi", bool (*)(QMutex *, int));
    const bool locked = real(this, timeout);
    if (locked)
        acquired(this);
    return locked;
}

void QMutex::unlock() noexcept
{
    REAL("_ZN6QMutex6unlockEv", void (*)(QMutex *));
    releasing(this);
    real(this);
}

// The inline fast paths of QBasicMutex are instrumented where they are compiled; these are the
// slow paths they fall back to under contention.
void QBasicMutex::lockInternal() QT_MUTEX_LOCK_NOEXCEPT
{
    REAL("_ZN11QBasicMutex12lockInternalEv", void (*)(QBasicMutex *));
    real(this);
    acquired(this);
}

bool QBasicMutex::lockInternal(int timeout) QT_MUTEX_LOCK_NOEXCEPT
{
    REAL("_ZN11QBasicMutex12lockInternalEi", bool (*)(QBasicMutex *, int));
    const bool locked = real(this, timeout);
    if (locked)
        acquired(this);
    return locked;
}

void QBasicMutex::unlockInternal() noexcept
{
    REAL("_ZN11QBasicMutex14unlockInternalEv", void (*)(QBasicMutex *));
    releasing(this);
    real(this);
}

// Read-write locks (Qt's SQL module keeps its connections behind one): every holder acquires and
// every release releases, which orders readers among themselves too, more than the lock does.
void QReadWriteLock::lockForRead()
{
    REAL("_ZN14QReadWriteLock11lockForReadEv", void (*)(QReadWriteLock *));
    real(this);
    acquired(this);
}

void QReadWriteLock::lockForWrite()
{
    REAL("_ZN14QReadWriteLock12lockForWriteEv", void (*)(QReadWriteLock *));
    real(this);
    acquired(this);
}

bool QReadWriteLock::tryLockForRead()
{
    REAL("_ZN14QReadWriteLock14tryLockForReadEv", bool (*)(QReadWriteLock *));
    const bool locked = real(this);
    if (locked)
        acquired(this);
    return locked;
}

bool QReadWriteLock::tryLockForRead(int timeout)
{
    REAL("_ZN14QReadWriteLock14tryLockForReadEi", bool (*)(QReadWriteLock *, int));
    const bool locked = real(this, timeout);
    if (locked)
        acquired(this);
    return locked;
}

bool QReadWriteLock::tryLockForWrite()
{
    REAL("_ZN14QReadWriteLock15tryLockForWriteEv", bool (*)(QReadWriteLock *));
    const bool locked = real(this);
    if (locked)
        acquired(this);
    return locked;
}

bool QReadWriteLock::tryLockForWrite(int timeout)
{
    REAL("_ZN14QReadWriteLock15tryLockForWriteEi", bool (*)(QReadWriteLock *, int));
    const bool locked = real(this, timeout);
    if (locked)
        acquired(this);
    return locked;
}

void QReadWriteLock::unlock()
{
    REAL("_ZN14QReadWriteLock6unlockEv", void (*)(QReadWriteLock *));
    releasing(this);
    real(this);
}

// A wait gives the mutex up and takes it again inside libQt5Core.
bool QWaitCondition::wait(QMutex *mutex, QDeadlineTimer deadline)
{
    REAL("_ZN14QWaitCondition4waitEP6QMutex14QDeadlineTimer", bool (*)(QWaitCondition *, QMutex *, QDeadlineTimer));
    releasing(mutex);
    const bool woken = real(this, mutex, deadline);
    acquired(mutex);
    return woken;
}

bool QWaitCondition::wait(QMutex *mutex, unsigned long time)
{
    REAL("_ZN14QWaitCondition4waitEP6QMutexm", bool (*)(QWaitCondition *, QMutex *, unsigned long));
    releasing(mutex);
    const bool woken = real(this, mutex, time);
    acquired(mutex);
    return woken;
}
