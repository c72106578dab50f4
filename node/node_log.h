// The node's log: the conversion log's JSON lines, one per received object.
#pragma once

#include "conversion_log.h"

using NodeLog = ConversionLog;
