// The EEPROM service: brings up the flash driver and the pack store, and runs
// the detached save thread that takes save requests posted on a semaphore.
#pragma once

#include <stdint.h>
#include <pthread.h>
#include <semaphore.h>

static const int EEPROM_SAVE_USER = 1;
static const int EEPROM_SAVE_PROD = 2;   // any other kind: both

// The only lock of the system; it guards the service's own actions on the
// parameter sectors. The save thread takes it only by polling.
extern pthread_mutex_t mtx_ActionWithEEProm;
extern sem_t SaveToProm_sem;
extern pthread_attr_t ptaEEPROMThreadAttr;
extern int iSaveConfigUserToProm;
extern int iSaveConfigProdToProm;

// 0; -4 the flash driver failed (the thread is started all the same);
// -1 the save thread could not be created.
int F_InitEEProm();
int F_SaveToEEPROM_Request(int kind);
int F_IsSaveToEEPROM_Pending();
// 1 erased, 0 failed.
int F_ErazeEEPROM_Request(uintptr_t sector);
void* T_SaveToEEPROM(void* arg);

// Save cycles the thread has completed since the process started, so that a
// caller can tell that a request has been taken up.
unsigned F_EEProm_CyclesDone();
