#include "Config.h"
