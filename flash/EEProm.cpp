#include "flash/EEProm.h"

#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include "flash/Flash_Drv.h"
#include "flash/Flash_Pack.h"
#include "platform/platform.h"

// Set up by F_InitEEProm with pthread_mutex_init (QNX's static initialiser
// narrows into an int field): the lock is usable once that call has run.
pthread_mutex_t mtx_ActionWithEEProm;
sem_t SaveToProm_sem;
pthread_attr_t ptaEEPROMThreadAttr;
int iSaveConfigUserToProm = 0;
int iSaveConfigProdToProm = 0;

namespace {

const int EEPROM_THREAD_PRIORITY = 4;
const useconds_t EEPROM_LOCK_POLL_US = 100000;

// The lock, the semaphore and the thread are set up once per process: a second
// initialisation under a running save thread would be undefined behaviour.
bool V_EEProm_bSemReady = false;
bool V_EEProm_bAttrReady = false;
bool V_EEProm_bThreadRunning = false;
// Written by the save thread alone; callers only compare it with a count they
// read before, and nothing else is published through it. A sig_atomic_t is
// read and written in one access, and volatile makes every poll read it again.
volatile sig_atomic_t V_EEProm_uiCycles = 0;

int P_EEProm_StartThread()
{
    if (V_EEProm_bAttrReady)
        pthread_attr_destroy(&ptaEEPROMThreadAttr);
    pthread_attr_init(&ptaEEPROMThreadAttr);
    V_EEProm_bAttrReady = true;
    pthread_attr_setdetachstate(&ptaEEPROMThreadAttr, PTHREAD_CREATE_DETACHED);
    platform_thread_attr_priority(&ptaEEPROMThreadAttr, EEPROM_THREAD_PRIORITY);
    pthread_t thread;
    // The thread keeps the termination signals held for good: they must reach
    // the request's thread, which holds them while a region is written.
    platform_hold_termination();
    int rc = pthread_create(&thread, &ptaEEPROMThreadAttr, T_SaveToEEPROM, NULL);
    if (rc == EPERM || rc == EINVAL) {
        // The scheduler refused the fixed priority: a save thread at the
        // creator's priority is better than none, which would stop every upload.
        pthread_attr_setinheritsched(&ptaEEPROMThreadAttr, PTHREAD_INHERIT_SCHED);
        rc = pthread_create(&thread, &ptaEEPROMThreadAttr, T_SaveToEEPROM, NULL);
    }
    platform_release_termination();
    V_EEProm_bThreadRunning = rc == 0;
    return rc == 0 ? 0 : -1;
}

}  // namespace

int F_InitEEProm()
{
    if (!V_EEProm_bSemReady)
        pthread_mutex_init(&mtx_ActionWithEEProm, NULL);
    const int flash = F_FlashDrv_Init();
    F_FlashPack_Init();
    if (!V_EEProm_bSemReady) {
        sem_init(&SaveToProm_sem, 0, 0);
        V_EEProm_bSemReady = true;
    }
    int created = 0;
    if (!V_EEProm_bThreadRunning)
        created = P_EEProm_StartThread();
    return created != 0 ? -1 : flash;
}

int F_SaveToEEPROM_Request(int kind)
{
    if (kind == EEPROM_SAVE_USER) {
        iSaveConfigUserToProm = 1;
    } else if (kind == EEPROM_SAVE_PROD) {
        iSaveConfigProdToProm = 1;
    } else {
        iSaveConfigUserToProm = 1;
        iSaveConfigProdToProm = 1;
    }
    // Before F_InitEEProm there is no semaphore to post to.
    if (!V_EEProm_bSemReady)
        return -1;
    return sem_post(&SaveToProm_sem) == 0 ? 0 : -1;
}

int F_IsSaveToEEPROM_Pending()
{
    if (iSaveConfigUserToProm != 0)
        return 1;
    return iSaveConfigProdToProm != 0 ? 1 : 0;
}

int F_ErazeEEPROM_Request(uintptr_t sector)
{
    pthread_mutex_lock(&mtx_ActionWithEEProm);
    const int rc = F_FlashDrv_EraseSector(sector);
    pthread_mutex_unlock(&mtx_ActionWithEEProm);
    return rc;
}

void* T_SaveToEEPROM(void*)
{
    for (;;) {
        // An interrupted wait starts a cycle too: a cycle with nothing to do is harmless.
        sem_wait(&SaveToProm_sem);
        // Never queue on the lock: an erase may hold it for seconds, and the
        // thread must not sit in the lock's queue ahead of the request thread.
        do {
            usleep(EEPROM_LOCK_POLL_US);
        } while (pthread_mutex_trylock(&mtx_ActionWithEEProm) != 0);
        pthread_mutex_unlock(&mtx_ActionWithEEProm);
        V_EEProm_uiCycles = V_EEProm_uiCycles + 1;
    }
    return NULL;
}

unsigned F_EEProm_CyclesDone()
{
    return static_cast<unsigned>(V_EEProm_uiCycles);
}
