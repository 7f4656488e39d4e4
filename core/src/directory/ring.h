// Relay roles shared by the ring and the microdescriptor completion, private
// to the directory module.
#pragma once

#include "mistgrove_core/directory.h"
#include "mistgrove_core/util.h"

namespace mistgrove_core::directory {

// Running, Valid and an OR port: a source of microdescriptors.
bool relay_usable_dir(const Relay& relay);

}  // namespace mistgrove_core::directory
