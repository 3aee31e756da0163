// Silent, permanent removal of a folder tree (or a single file).
#pragma once

// Deletes path and everything below it without any window, confirmation or recycle bin.
// Nothing happens when path does not exist. Paths that are empty, relative, or 260 units or
// longer are refused (nothing is deleted), so a path that failed to form can never widen the
// deletion. Callers test afterwards whether path still exists.
//
// Links (junctions, symbolic links) are deleted as links, never followed: what they point to
// stays untouched. A link that cannot be deleted as a link (Wine follows host symbolic links
// whatever is asked) is left in place, and so is the whole tree around it.
void DeleteTree(const wchar_t* path);
