#include "tessel.h"
