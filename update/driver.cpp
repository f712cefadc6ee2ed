#include "driver.h"
