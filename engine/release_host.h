// Where the release host lives. The base URL is fixed when the program is built
// (CMake cache variable TAVRIN_RELEASE_BASE); nothing is read at run time.
#pragma once

#include <cstddef>

// Room for the base and the longer of the two paths. The buffers are initialised data, carried in
// the executable whole, so they are no larger than a base URL needs; a base that does not fit
// fails the build.
constexpr size_t RELEASE_HOST_URL_CAPACITY = 512;

// base + "/dist/latest.json": the release manifest.
extern wchar_t manifestUrl[RELEASE_HOST_URL_CAPACITY];
// base + "/models/auraface/": the model files are fetched as this followed by their name.
extern wchar_t modelBaseUrl[RELEASE_HOST_URL_CAPACITY];
