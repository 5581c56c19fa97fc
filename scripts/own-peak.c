// SPDX-License-Identifier: GPL-2.0-or-later
// Preloaded by scripts/bench: at exit, appends the process's name and its own peak resident
// memory (VmHWM, KiB) to the file named by OWN_PEAK_FILE. Unlike the peak that wait4 reports,
// this leaves out the children, so find's memory is not counted as ours.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

__attribute__((destructor)) static void report_own_peak(void) {
    const char* out_path = getenv("OWN_PEAK_FILE");
    if (out_path == NULL) return;
    char name[64] = "";
    FILE* comm = fopen("/proc/self/comm", "r");
    if (comm != NULL) {
        if (fgets(name, sizeof name, comm) != NULL) name[strcspn(name, "\n")] = '\0';
        fclose(comm);
    }
    long peak = -1;
    char line[256];
    FILE* status = fopen("/proc/self/status", "r");
    if (status != NULL) {
        while (fgets(line, sizeof line, status) != NULL) {
            if (sscanf(line, "VmHWM: %ld kB", &peak) == 1) break;
        }
        fclose(status);
    }
    FILE* out = fopen(out_path, "a");
    if (out != NULL) {
        fprintf(out, "%s %ld\n", name, peak);
        fclose(out);
    }
}
