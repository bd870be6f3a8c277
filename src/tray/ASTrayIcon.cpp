#include "ASTrayIcon.h"
