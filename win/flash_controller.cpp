// Creation and end of a FlashController; each concern lives in its own
// controller_*.cpp file.
#include <new>

#include "controller_state.h"

FlashController* createFlashController(SettingsStore* settings) {
    FlashController* controller = new (std::nothrow) FlashController();
    if (controller != nullptr) controller->settings = settings;
    return controller;
}

void destroyFlashController(FlashController* controller) {
    if (controller == nullptr) return;
    controller::stopThreads(controller);
    stopTrace(controller);
    delete controller;
}

SettingsStore* settingsStore(FlashController* controller) {
    return controller->settings;
}
