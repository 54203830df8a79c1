/*
 * Front-end helper library: what stm32cmd, the Windows controller and the
 * macOS Device all need beside the core, written once. Each front end keeps
 * its own messages; these functions only decide.
 */
#ifndef STM32_FRONTEND_STM32FRONTEND_H
#define STM32_FRONTEND_STM32FRONTEND_H

#include "elapsed_time.h"
#include "flash_geometry.h"
#include "image_loader.h"
#include "number_entry.h"
#include "option_area.h"
#include "target_choice.h"
#include "trace_file.h"

#endif /* STM32_FRONTEND_STM32FRONTEND_H */
