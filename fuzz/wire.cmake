# Envelope decoding and the operation table on arbitrary bytes.
merrowfax_fuzzer(fuzz_envelope SOURCES envelope_fuzz.cpp LIBS merrowfax_wire)
# The contact link a QR code or a browser hands over.
merrowfax_fuzzer(fuzz_contact_link SOURCES contact_link_fuzz.cpp LIBS merrowfax_wire)
