#include "race/finish.h"

#include <string>

#include "common/module1.h"
#include "history/history.h"
#include "window/form1.h"

using platform::Control;

namespace {

void ReadyButton() {
    platform::SetEnabled(Control::Command1, true);
    platform::SetCaption(Control::Command1, "Race Start");
}

}  // namespace

void FinishRun(const RaceState& state) {
    const int32_t t = state.elapsedMs;
    if (t <= RecordLimitMs) {
        // The first recorded run becomes the best without a message.
        if (Module1::bestMs == 0) Module1::bestMs = t;
        if (t < Module1::bestMs) {
            Module1::bestMs = t;
            platform::ShowMessageBox("記録更新: " + std::to_string(Module1::bestMs) + " ms",
                                     "Skorrel 記録更新");
        }
        Form1::ShowBestTime();
        Form1::ShowLastTime();
        const AppendOutcome saved = AppendRecord(t);
        if (!saved.ok) {
            // Never let a lost record pass as saved.
            platform::ShowMessageBox("記録を保存できませんでした / The record could not be saved.\n" +
                                         saved.path + "\n" + saved.reason,
                                     "Skorrel");
        }
    } else {
        platform::ShowMessageBox("10秒越えは記録なし", platform::kApplicationTitle);
    }
    ReadyButton();
}

void AbandonRun() {
    platform::ShowMessageBox("レース中止、記録なし / The race was stopped; nothing was recorded.\n" +
                                 platform::PointerLost(),
                             "Skorrel");
    ReadyButton();
}
