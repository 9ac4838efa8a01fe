#version 450
#extension GL_GOOGLE_include_directive : require
#define QT_Q5_0
#include "matmul_q_elem.glsl"
