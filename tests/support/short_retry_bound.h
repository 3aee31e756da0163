// A held file is held for good in most tests: the retry bound is shortened while one of these
// lives, so that it costs a fraction of a second rather than ten.
#pragma once

#include "engine/transient_retry.h"

class ShortRetryBound {
public:
    explicit ShortRetryBound(DWORD limitMs = 300) : saved_(transientRetryLimitMs) { transientRetryLimitMs = limitMs; }
    ~ShortRetryBound() { transientRetryLimitMs = saved_; }
    ShortRetryBound(const ShortRetryBound&) = delete;
    ShortRetryBound& operator=(const ShortRetryBound&) = delete;

private:
    DWORD saved_;
};
