#include "ports.h"
