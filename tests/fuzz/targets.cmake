# The libFuzzer targets: each is tests/fuzz/<name>.cpp with its seed corpus in
# tests/fuzz/corpus/<name without _fuzz>/, the libraries it links and any sources of its own.
set(TARNWICK_FUZZ_TARGETS json_value_fuzz bridge_message_fuzz appserver_output_fuzz)
set(json_value_fuzz_DEPS json)
set(bridge_message_fuzz_DEPS protocol)
list(APPEND TARNWICK_FUZZ_TARGETS invitation_request_fuzz)
set(invitation_request_fuzz_DEPS link_invitation)
set(appserver_output_fuzz_DEPS appserver)
list(APPEND TARNWICK_FUZZ_TARGETS hello_payload_fuzz trust_store_fuzz)
set(hello_payload_fuzz_DEPS identity)
set(trust_store_fuzz_DEPS identity)
list(APPEND TARNWICK_FUZZ_TARGETS controller_intake_fuzz)
set(controller_intake_fuzz_DEPS bridge)
# Seconds each target runs inside scripts/test.
set(TARNWICK_FUZZ_SECONDS 20)
list(APPEND TARNWICK_FUZZ_TARGETS http_request_fuzz)
set(http_request_fuzz_SOURCES ${PROJECT_SOURCE_DIR}/tools/model-stand-in/HttpRequestReader.cpp)
list(APPEND TARNWICK_FUZZ_TARGETS json_text_fuzz)
set(json_text_fuzz_DEPS json)
