#include "IconList.h"
