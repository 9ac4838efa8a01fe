#version 450
#extension GL_GOOGLE_include_directive : require
#define QT_Q8_0
#include "dequant_rows.glsl"
