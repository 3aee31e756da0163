#include "tests/support/model_fixture.h"

std::string HostModelBytes(int position, size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 29 + position + i / 1024) & 0xFF);
    return bytes;
}

TraceEvent Announce(int position) {
    return StatusEvent(L"AI 모델 준비 중 (약 408MB)  " + std::to_wstring(position) + L" / 5");
}
