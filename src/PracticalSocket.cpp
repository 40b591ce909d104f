#include "PracticalSocket.h"
