#include "uninstall/uninstall.h"

int RunUninstall() {
    return 0;
}
