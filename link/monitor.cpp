#include "monitor.h"
