// The progress file: what the image handler is doing right now, for the page
// to show while the instrument erases and programs its flash.
#pragma once

#include <stdint.h>

// The instrument path of the file; its lines are "key=value": phase, done,
// total, started, time (seconds since the epoch), then file (the base name,
// percent-encoded as the result page's values are, to the end of the file).
static const char UPG_PROGRESS_PATH[] = "/tmp/upgrade.progress";

enum UpgradePhase {
    UPG_PHASE_CHECKING,     // reading and summing the upload; done and total 0
    UPG_PHASE_ERASING,      // erasing sector done of total
    UPG_PHASE_PROGRAMMING   // done bytes of total programmed and read back
};

// The phases as the file spells them, in the order of UpgradePhase; the state
// report reads them back with this table.
static const char* const UPG_PHASE_NAMES[] = {"checking", "erasing", "programming"};

// Starts the file for the image baseName, in the checking phase.
void upgrade_progress_begin(const char* baseName);
// Records a step; written when the phase changes, otherwise at most once per
// sector or 64 KiB and five times a second, and only between begin and end.
// Failures are ignored: the upload never depends on the file.
void upgrade_progress(UpgradePhase phase, int64_t done, int64_t total);
// Removes the file.
void upgrade_progress_end();
