#include "gates.h"
