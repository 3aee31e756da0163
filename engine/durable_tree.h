// Making a written tree durable before it is relied on.
#pragma once

// Flushes every file below folder (no link is followed) to the disk. True when each one was;
// a failure is logged with its file.
bool FlushTree(const wchar_t* folder);
