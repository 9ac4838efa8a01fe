// The forward-object tests' model helpers, compiled into this binary too so
// that both areas share one copy of them.
#include "tests/ZOV4Forward/ForwardTestSupport.cpp"
