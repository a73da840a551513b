// The installer's entry point.
#include "core/startup.h"

int main(int argc, char** argv) {
  return installerMain(argc, argv);
}
