// The conversation engine: every knowledge class and the brain.
#ifndef CORVANE_ENGINE_A1U2_H_
#define CORVANE_ENGINE_A1U2_H_

#include "engine/brain.h"
#include "engine/collection.h"
#include "engine/fragment.h"
#include "engine/item.h"
#include "engine/knowledge.h"
#include "engine/limits.h"
#include "engine/pattern.h"
#include "engine/proc.h"
#include "engine/response.h"
#include "engine/type_tables.h"

#endif  // CORVANE_ENGINE_A1U2_H_
