#pragma once
// The FAT tests' helpers (running the checkers) for tests in other folders.
#include "engine/fat/fat_test_support.h"
