// SHA-256 digests of test data as a manifest writes them.
#pragma once

#include <string>

// SHA-256 of bytes as 64 lower-case hex digits (through the platform's hash service, whose answers
// payload_test holds to published vectors); empty when the service fails, which no manifest accepts.
std::string Sha256Hex(const std::string& bytes);
