#pragma once
#include "testenv/TestEnv.h"
