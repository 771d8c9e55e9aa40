#include "signals.hpp"
