// Requests of the instrument: parameter and status records, the log's entry
// table, files on the storage card, remote measurement, screen and memory.
// Each is one transaction and returns its result; a few unpack the reply.
#ifndef V21_COMM_H
#define V21_COMM_H

#include <cstdint>

constexpr int V21_CODE_MEMORY_USAGE = 8016;
constexpr int V21_CODE_SEND_EVENT = 8022;
constexpr int V21_CODE_SET_STATE = 8023;
constexpr int V21_CODE_GET_STATE = 8024;
constexpr int V21_CODE_GET_PARAMS = 8201;
constexpr int V21_CODE_SET_PARAMS = 8202;
constexpr int V21_CODE_GET_STATUS = 8203;
constexpr int V21_CODE_GET_LOG_ENTRIES = 8204;
constexpr int V21_CODE_CLEAR_LOGS = 8206;
constexpr int V21_CODE_FILE_INFO = 8209;
constexpr int V21_CODE_WRITE_FILE = 8210;
constexpr int V21_CODE_READ_FILE = 8211;
constexpr int V21_CODE_MEASURE = 8212;
constexpr int V21_CODE_GET_SCREEN = 8213;
// Asynchronous live-data event of a measurement or scan.
constexpr int V21_CODE_LIVE_DATA = 9302;

constexpr int V21_TIMEOUT_MS = 800;
constexpr int V21_CLEAR_LOGS_TIMEOUT_MS = 300000;

constexpr int V21_PARAMS_SIZE = 319; // the parameter record
constexpr int V21_PARAMS_BUF = 4319; // largest get-params answer taken
constexpr int V21_STATUS_SIZE = 20;
constexpr int V21_LOG_ENTRY_SIZE = 5;
constexpr int V21_LOG_ENTRIES_PER_REQ = 32;
constexpr int V21_LOG_ENTRIES_BUF = 160;
constexpr int V21_SCREEN_BUF = 1060;
constexpr int V21_MEM_TEXT_SIZE = 2048;
constexpr int V21_FILE_REQ_SIZE = 40; // head of every file request
constexpr int V21_FILE_NAME_SIZE = 32;
constexpr int V21_READ_MAX = 3996;  // most data bytes a read reply holds
constexpr int V21_WRITE_MAX = 4056; // most data bytes an append carries

// Write-file operations.
constexpr uint32_t V21_OP_MKDIR = 1;
constexpr uint32_t V21_OP_CREATE = 2;
constexpr uint32_t V21_OP_APPEND = 3;
constexpr uint32_t V21_OP_DELETE = 4;

// buf holds V21_PARAMS_BUF bytes; got, when given, receives the number of
// bytes the reply held.
int V21_Get_Params(int id, unsigned char *buf, int wait, int *got = nullptr);
// Sends V21_PARAMS_SIZE bytes of params.
int V21_Set_Params(int id, const unsigned char *params, int wait);
// buf holds V21_STATUS_SIZE bytes.
int V21_Get_Status(int id, unsigned char *buf, int wait);
// buf holds V21_LOG_ENTRIES_BUF bytes: 32 entries from first on.
int V21_Get_Meas_Log_Entry_List(int id, uint32_t first, unsigned char *buf,
                                int wait);
int V21_Clear_Logs(int id, uint32_t selector, int wait);
// heap must be given; text holds text_size bytes and is always terminated.
int V21_Memory_Usage(int id, uint32_t *heap, char *text, int text_size,
                     int wait);
// size may be null.
int V21_File_Info(int id, const char *name, uint32_t *size, int wait);
int V21_Write_File(int id, const char *name, uint32_t operation,
                   const unsigned char *data, uint32_t data_len, int wait);
// Appends data to a file that holds size_before bytes, so that it arrives
// exactly once. An append is never written again blindly: when its reply
// was lost, the repeat would store the data twice. When no reply comes, the
// file's size tells whether the data arrived, and the append is sent again
// only when it did not, V21_APPEND_ATTEMPTS times in all. Answers 0 when the
// file holds size_before + data_len, the code of the request that failed,
// or 1 when the file has grown by something else.
constexpr int V21_APPEND_ATTEMPTS = 3;
int V21_Append_File(int id, const char *name, const unsigned char *data,
                    uint32_t data_len, uint32_t size_before);
// buf holds max_len bytes; count may be null.
int V21_Read_File(int id, const char *name, unsigned char *buf, uint32_t offset,
                  uint32_t max_len, uint32_t *count, int wait);
int V21_Measure(int id, int32_t *value, int wait);
// Written once: after a time-out the event or state may have arrived, and a
// second copy would act again (README: which requests are repeated).
int V21_Send_Event(int id, uint32_t event, int wait);
int V21_Set_State(int id, uint32_t state, int wait);
int V21_Get_State(int id, int32_t *state, int wait);
// buf holds V21_SCREEN_BUF bytes.
int V21_Get_Screen(int id, unsigned char *buf, int wait);

// Identification pair of the instrument (device type 10).
int V21_probe(int id, int attempts);
int V21_test_probe(int id, const unsigned char *frame, int *type, int attempts);

#endif
