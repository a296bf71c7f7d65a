// The upgrade request as other subsystems call it: cgiMain routes the one
// uploaded file to its handler and answers with the result page. Every handler
// returns an outcome code: 0 done, 1 GPS configuration stored, 101..109
// failures (shown as code + 1900).
#pragma once

// ---- Outcome codes ----
static const int UPG_DONE = 0;
static const int UPG_GPS_STORED = 1;
static const int UPG_ERR_NAME = 101;      // no usable file name, or upload not readable
static const int UPG_ERR_UPLOAD = 102;    // no "Filedata" file upload
static const int UPG_ERR_KIND = 103;      // unknown prefix, not ".txt", bad markers, a name no message carries, exchange failed
static const int UPG_ERR_LOADER = 104;    // DSP hand-off result -1
static const int UPG_ERR_DSP = 105;       // DSP hand-off result -2
static const int UPG_ERR_PEER = 106;      // peer unreachable or answer not accepted
static const int UPG_ERR_WRITE = 107;     // write failed, board not identified, lock not taken
static const int UPG_ERR_SIZE = 108;      // size outside the target's limits
static const int UPG_ERR_ORIGIN = 109;    // posted from another site

// What a restore request asks for, by the query key that names it; the values
// are those the handlers' int parameter carries.
enum RestoreKind {
    RESTORE_NONE = 0,
    RESTORE_SETTINGS = 1,  // "settings=": a settings backup, or a GPS configuration
    RESTORE_MODELS = 2,    // "models="
    RESTORE_SYSTEM = 3     // "system="
};

// ---- dispatch.cpp: the route of the one upload ----
// Routes the "Filedata" upload; writes baseName (and typeText on the UDP route).
int Fichier(int udpPort, int restoreKind, char* baseName, char* typeText);

// The image dispatcher: the handler named by the file name's prefix; typeText
// (128 bytes) receives the kind's name.
int flash_file(const char* baseName, const char* tmpPath, char* typeText);

// ---- nor_region.cpp: the CINT images, NOR regions on board 1, files on board 2 ----
int flash_Web(const char* baseName, const char* tmpPath);
int flash_firmware(const char* baseName, const char* tmpPath);
int flash_loader(const char* baseName, const char* tmpPath);

// ---- the peers' routes: flash_DSP.cpp, EnvoiUDP.cpp, Restore_Settings.cpp ----
// DSP images go to the loader service.
// 0 accepted; -1 service unreachable or refused (status 1); -2 anything else;
// 103 a name the message cannot carry (see channel_name_fits).
int flash_DSP(const char* baseName, const char* tmpPath, int command);
int flash_firmwareDSP(const char* baseName, const char* tmpPath);
int flash_loaderDSP(const char* baseName, const char* tmpPath);

int EnvoiUDP(int udpPort, const char* tmpPath, const char* baseName);

int Restore_Settings(const char* tmpPath, const char* baseName, int restoreKind);

// ---- file_store.cpp: a GPS configuration kept on the drive ----
int Store_Gps_Conf(const char* tmpPath, const char* baseName);

