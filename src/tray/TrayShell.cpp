#include "TrayShell.h"
