// Where an install puts things, as paths for tests: the names of engine/layout.h joined onto a
// test's own install folder or user profile.
#pragma once

#include "engine/layout.h"

#include <iterator>
#include <string>
#include <vector>

// folder + "\" + name.
inline std::wstring InFolder(const std::wstring& folder, const std::wstring& name) { return folder + L"\\" + name; }

// <installDir>\TavrinStudio.
inline std::wstring AppFolderIn(const std::wstring& installDir) { return InFolder(installDir, APP_FOLDER_NAME); }
// <installDir>\TavrinSetup.exe.
inline std::wstring SetupCopyIn(const std::wstring& installDir) { return InFolder(installDir, SETUP_COPY_NAME); }

// <profile>\.insightface\models: shared with other programs, it stays when ours goes.
inline std::wstring ModelSetsFolderIn(const std::wstring& profile) {
    return InFolder(InFolder(profile, MODEL_ROOT_FOLDER_NAME), MODEL_SETS_FOLDER_NAME);
}
// <profile>\.insightface\models\auraface.
inline std::wstring ModelFolderIn(const std::wstring& profile) {
    return InFolder(ModelSetsFolderIn(profile), MODEL_FOLDER_NAME);
}
// <profile>\.tavrin_ai.
inline std::wstring UserDataFolderIn(const std::wstring& profile) { return InFolder(profile, USER_DATA_FOLDER_NAME); }

// The model names in the order the model stage fetches them.
inline std::vector<std::wstring> ModelNames() { return {std::begin(MODEL_NAMES), std::end(MODEL_NAMES)}; }
