// The medium's partitioning and formatting tools. They live at fixed paths on every medium;
// the paths are variables only so that unit tests can point them at recording stand-ins.
#pragma once

extern const char* sfdiskProgram;  // "/sbin/sfdisk"
extern const char* mke2fsProgram;  // "/sbin/mke2fs"
