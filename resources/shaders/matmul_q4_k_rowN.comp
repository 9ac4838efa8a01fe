#version 450
#extension GL_GOOGLE_include_directive : require
#define QT_Q4_K
#include "matmul_q_rown.glsl"
