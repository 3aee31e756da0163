// Silent, permanent removal of a folder tree (or a single file).
#pragma once

// Deletes path and everything below it without any window, confirmation or recycle bin.
// Nothing happens when path does not exist. Paths that are empty, relative, or 260 units or
// longer are refused (nothing is deleted), so a path that failed to form can never widen the
// deletion. Callers test afterwards whether path still exists.
//
// Links (reparse points whose tag is a name surrogate: junctions, symbolic links) are deleted as
// links, never followed: what they point to stays untouched. Other reparse points (cloud
// placeholders, deduplicated files) are deleted like any file or folder. A link that cannot be
// deleted as a link (Wine follows host symbolic links whatever is asked) is left in place, and so
// is the whole tree around it; so is a tree any of whose folders cannot be read to the end. The
// walk keeps no recursion, so any depth that fits a "\\?\" path is deleted. Files in use stay,
// with the folders that hold them.
void DeleteTree(const wchar_t* path);
