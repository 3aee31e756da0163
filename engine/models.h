// Stages 6 and 7: fetch the missing face-analysis models, then report completion.
#pragma once

// Downloads the missing model files into %USERPROFILE%\.insightface\models\auraface. Never fails
// the attempt. Worker thread only.
void ProvisionModels();

// Posts progress 1000, "설치가 끝났습니다." and WM_SETUP_DONE 1.
void ReportCompletion();
