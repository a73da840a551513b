// The installer's entry point.
#include "program/startup.h"

int main(int argc, char** argv) {
  return installerMain(argc, argv);
}
