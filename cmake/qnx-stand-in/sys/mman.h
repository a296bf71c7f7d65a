// The compile check's stand-in for the SDK header (see qnx_stand_in.h).
#pragma once
#include "../qnx_stand_in.h"
