#include "engine/models.h"
#include "engine/install_state.h"
void ProvisionModels() {}
void ReportCompletion() {}
