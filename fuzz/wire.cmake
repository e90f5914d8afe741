# Envelope decoding and the operation table on arbitrary bytes.
merrowfax_fuzzer(fuzz_envelope SOURCES envelope_fuzz.cpp LIBS merrowfax_wire)
