#include "CompressUtil.h"
