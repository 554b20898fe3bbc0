// zeb18000-desktop: the desktop host of the mail-log import screen.
#include "desktop_host.h"
#include "platform/os/heap_tuning.h"

int main(int argc, char** argv) {
  zeb::platform::os::tuneHeapForLargeTables(argv);
  return zeb::desktop::runDesktop(argc, argv);
}
