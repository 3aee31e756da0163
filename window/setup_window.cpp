#include "window/setup_window.h"

int RunSetupWizard(HINSTANCE) {
    return 0;
}
