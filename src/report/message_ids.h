/* Message catalogue IDs. Plain #defines so the resource compiler can read
   this file too: res/tarnelo.rc holds the texts under the same names. */
#ifndef TARNELO_MESSAGE_IDS_H
#define TARNELO_MESSAGE_IDS_H

/* Reasons for application error codes (low 16 bits of the code). */
#define MSG_REASON_ZERO_BYTES_READ        1
#define MSG_REASON_ZERO_BYTES_WRITTEN     2

/* Launcher core and console output threads. */
#define MSG_SEND_READ_RESULT              1001
#define MSG_SEND_READ_DATA                1002
#define MSG_GET_WRITE_DATA                1003
#define MSG_ZERO_WRITE_DATA               1004
#define MSG_SEND_WRITE_RESULT             1005
#define MSG_RELAY_CREATE_PIPE             1006
#define MSG_RELAY_DUPLICATE_WRITE_END     1007
#define MSG_RELAY_ALLOCATE_BUFFER         1008
#define MSG_KERNEL32_HANDLE               1009
#define MSG_OPEN_CONSOLE_OUTPUT           1010
#define MSG_CTRL_C_EVENT                  1011
#define MSG_CTRL_BREAK_EVENT              1012
#define MSG_CONTROL_HANDLER               1013
#define MSG_STDIN_HANDLE                  1014
#define MSG_STDOUT_HANDLE                 1015
#define MSG_PRIMARY_BUFFER                1016
#define MSG_CREATE_MAPPING                1017
#define MSG_MAPPING_EXISTS                1018
#define MSG_MAP_VIEW                      1019
#define MSG_CREATE_PARENT_TO_CHILD_PIPE   1020
#define MSG_DUPLICATE_PARENT_TO_CHILD     1021
#define MSG_CREATE_CHILD_TO_PARENT_PIPE   1022
#define MSG_DUPLICATE_CHILD_TO_PARENT     1023
#define MSG_OPEN_CONSOLE_INPUT            1024
#define MSG_DUPLICATE_STDIN               1025
#define MSG_STDOUT_RELAY                  1026
#define MSG_DUPLICATE_STDOUT              1027
#define MSG_STDERR_RELAY                  1028
#define MSG_DUPLICATE_STDERR              1029
#define MSG_CONSOLE_RELAY                 1030
#define MSG_READ_COMMAND                  1031

/* Target resolution. */
#define MSG_NO_TARGET                     3001
#define MSG_VARIABLE_TOO_LONG             3002
#define MSG_FULL_PATH_FAILED              3003
#define MSG_FULL_PATH_TOO_LONG            3004
#define MSG_FILE_NOT_FOUND                3005
#define MSG_NO_EXECUTABLE                 3006

/* Texts for association lookup results. */
#define MSG_SHELL_SHARE                   4001
#define MSG_SHELL_ASSOC_INCOMPLETE        4002
#define MSG_SHELL_DDE_TIMEOUT             4003
#define MSG_SHELL_DDE_FAIL                4004
#define MSG_SHELL_DDE_BUSY                4005
#define MSG_SHELL_NO_ASSOC                4006
#define MSG_SHELL_DLL_NOT_FOUND           4007
#define MSG_SHELL_UNKNOWN                 4008

/* Module name, command line and launch. */
#define MSG_MODULE_NAME                   5005
#define MSG_MODULE_NAME_SHORT             5006
#define MSG_COMMAND_LINE                  5007
#define MSG_EMPTY_COMMAND_LINE            5008
#define MSG_ALLOCATE_COMMAND_LINE         5009
#define MSG_GENERATE_COMMAND_LINE         5010
#define MSG_RUN_TARGET                    5011

#endif
