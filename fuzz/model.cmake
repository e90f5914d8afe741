# The database decoder on arbitrary bytes (db.json may be damaged, and a
# snapshot file arrives from another device).
merrowfax_fuzzer(fuzz_db SOURCES db_fuzz.cpp LIBS merrowfax_model)
