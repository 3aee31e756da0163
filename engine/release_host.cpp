#include "engine/release_host.h"

#include "engine/layout.h"

#ifndef TAVRIN_RELEASE_BASE
#error "TAVRIN_RELEASE_BASE must be defined by the build"
#endif

#define TAVRIN_WIDEN2(x) L##x
#define TAVRIN_WIDEN(x) TAVRIN_WIDEN2(x)

// Writable so that tests can point the engine at a fault-injecting path of the local host.
wchar_t manifestUrl[RELEASE_HOST_URL_CAPACITY] = TAVRIN_WIDEN(TAVRIN_RELEASE_BASE) L"/" MANIFEST_URL_PATH;
wchar_t modelBaseUrl[RELEASE_HOST_URL_CAPACITY] = TAVRIN_WIDEN(TAVRIN_RELEASE_BASE) L"/" MODEL_URL_PATH;
