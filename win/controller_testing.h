// What only the tests ask of a FlashController: the GUI never calls these.
#ifndef STM32_WIN_CONTROLLER_TESTING_H
#define STM32_WIN_CONTROLLER_TESTING_H

#include <cstdint>
#include <vector>

#include "flash_controller.h"

// What a poll records, for tests without a board: the targets' indices (the
// count is their number), the chosen position and its geometry.
void recordWatchedTargets(FlashController* controller, std::vector<int32_t> indices, int32_t chosen,
                          const TargetGeometry& geometry);
// Waits for a running upload thread to end.
void waitForUpload(FlashController* controller);
// true once an upload thread was started.
bool uploadWasStarted(FlashController* controller);

#endif
