#include "ui/UiLog.h"

namespace tarnwick {

Q_LOGGING_CATEGORY(uiLog, "tarnwick.ui", QtInfoMsg)

} // namespace tarnwick
