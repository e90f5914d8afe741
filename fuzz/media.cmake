# Received recordings as the decoder reads them before playing.
if(TARGET merrowfax_ffmpeg)
    merrowfax_fuzzer(fuzz_audio_decoder SOURCES audio_decoder_fuzz.cpp
        LIBS merrowfax_ffmpeg)
endif()
