// Stages 6 and 7: fetch the missing face-analysis models, then report completion.
#pragma once

// Posts PROGRESS_MARQUEE, then downloads the missing model files, in the fixed list order
// ("scrfd_10g_bnkps.onnx", "glintr100.onnx", "genderage.onnx", "1k3d68.onnx", "2d106det.onnx"),
// from modelBaseUrl into %USERPROFILE%\.insightface\models\auraface (created with its parents),
// each through "<name>.part", announcing each one with "AI 모델 준비 중 (약 408MB)  i / 5".
// Skipped as a whole when "glintr100.onnx" is already there, when USERPROFILE is unset or empty,
// or when the folder's path cannot be formed in 260 units. A failed download leaves that model
// missing and removes its partial file, and so does a model whose bytes are not the digest the
// manifest names for it (installState.modelSha256, hashed while it downloads), or one whose
// partial file cannot take the model's name; a cancel request ends the loop before the next model.
// installState.downloadLabel is "AI 모델" during the loop and "본체" afterwards. Never fails the
// attempt. Worker thread only.
void ProvisionModels();

// Posts progress 1000, "설치가 끝났습니다." and WM_SETUP_DONE 1, in that order.
void ReportCompletion();
