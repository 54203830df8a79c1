// Entry point of TidewireSTM32Utility.
#include "main_window.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int) {
    return runProgram(instance, commandLine);
}
