// RecordTree values as key=value items joined by "&", unencoded (form bodies).
#pragma once

#include <string>

#include "common/recordtree.h"

std::string ToKv(const RecordTree& tree);
