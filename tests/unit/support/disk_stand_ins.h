// Disk tests' shared fixture: recording stand-ins put in place of the medium's sfdisk and
// mke2fs for one test (the real paths come back afterwards), and drives of a chosen geometry.
#pragma once

#include <gtest/gtest.h>
#include <stdint.h>

#include <string>

#include "disk/drives.h"
#include "support/scratch_dir.h"

constexpr uint32_t kOldIdeCylinderBytes = 16 * 63 * 512;  // 516,096
constexpr uint32_t kLbaCylinderBytes = 255 * 63 * 512;    // 8,225,280

HardDrive makeDrive(const char* device, uint32_t cylinders, uint32_t cylinderBytes);

// sfdiskProgram and mke2fsProgram point at scripts `sfdisk` and `mke2fs` in the scratch
// directory (each test writes them); the log terminal is /dev/null.
class StandInTools : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  ScratchDir scratch;
  std::string sfdisk = scratch.file("sfdisk");
  std::string mke2fs = scratch.file("mke2fs");

 private:
  const char* savedSfdisk_ = nullptr;
  const char* savedMke2fs_ = nullptr;
};
