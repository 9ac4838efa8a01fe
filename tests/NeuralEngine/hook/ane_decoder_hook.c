/* A native registration hook, as a decoder library would export it; it keeps
   what it was handed so the test can read it back. */
void* ane_decoder_hook_decoder = 0;
void* ane_decoder_hook_context = (void*)1;
int ane_decoder_hook_calls = 0;

void ane_cabi_set_decoder(void* decoder, void* context) {
    ane_decoder_hook_decoder = decoder;
    ane_decoder_hook_context = context;
    ++ane_decoder_hook_calls;
}
