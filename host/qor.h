// The host interface: everything a renderer module may use of its host.
#pragma once

#include "host/classes.h"
#include "host/functions.h"
#include "host/records.h"
