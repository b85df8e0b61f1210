// The shared layer every module includes.
#pragma once

#include "args.h"
#include "classes.h"
#include "errors.h"
#include "ref.h"
#include "text.h"
