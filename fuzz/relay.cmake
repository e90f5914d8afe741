# The relay's parsers of outside input: request targets and registrations,
# directory cursors, client records and WebSocket frames.
merrowfax_fuzzer(fuzz_relay_query SOURCES relay_query_fuzz.cpp LIBS merrowfax_relay)
merrowfax_fuzzer(fuzz_relay_record SOURCES relay_record_fuzz.cpp LIBS merrowfax_relay)
merrowfax_fuzzer(fuzz_relay_frames SOURCES relay_frames_fuzz.cpp LIBS merrowfax_relay)
