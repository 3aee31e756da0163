// Silent, permanent removal of a folder tree (or a single file).
#pragma once

// Deletes path and everything below it without any window, confirmation or recycle bin.
// Nothing happens when path does not exist. Paths that are empty, relative, or 260 units or
// longer are refused (nothing is deleted), so a path that failed to form can never widen the
// deletion. Callers test afterwards whether path still exists.
void DeleteTree(const wchar_t* path);
