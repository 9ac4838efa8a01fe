#version 450
#extension GL_GOOGLE_include_directive : require
#define QT_Q6_K
#include "dequant_rows.glsl"
