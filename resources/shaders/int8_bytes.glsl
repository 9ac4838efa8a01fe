// Byte reads of int8 activations (xq) and packed sign or code planes.
int xq_at(uint o) { return int(((xq[o >> 2] >> ((o & 3u) << 3)) & 0xFFu) << 24) >> 24; }
