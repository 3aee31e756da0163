// Stage 5: setup copy, shortcuts and the per-user uninstall entry. Never fails the attempt.
#pragma once

// Writes a shell link at shortcutPath to target, with workingFolder, icon (index 0) and the
// description "Tavrin AI". Skipped silently when the link object cannot be created or saved.
// The calling thread must have COM initialised.
void CreateShortcut(const wchar_t* shortcutPath, const wchar_t* target, const wchar_t* workingFolder,
                    const wchar_t* iconPath);

// The whole stage for installState.installDir and releaseVersion. Worker thread only.
void RegisterShell();
