#pragma once
// The agent services library: everything the metering program calls.
#include "lvornutils/CBrindleWrapper.h"
#include "lvornutils/FileUtils.h"
#include "lvornutils/GlobVars.h"
#include "lvornutils/HttpHandlermac.h"
#include "lvornutils/Log.h"
#include "lvornutils/ProcessInfo.h"
#include "lvornutils/Proplisthandler.h"
#include "lvornutils/VornUtilMac.h"
