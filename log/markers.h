#pragma once
#include "check/markers.h"
