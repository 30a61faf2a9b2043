/*
 * The message types of the HAC channel: the integer member "t" of every
 * HAC message. A reply's type is its request's type plus one.
 */
#ifndef HAC_MESSAGE_TYPE_H
#define HAC_MESSAGE_TYPE_H

/* Queues of the HAC channel. Every endpoint on them uses message type 1 and
 * a chunk size of 1024. */
#define HAC_REQUEST_QUEUE_KEY 0x92101071      /* client to server */
#define HAC_REPLY_QUEUE_KEY 0x92101072        /* request queue + 1 */
#define HAC_NOTIFICATION_QUEUE_KEY 0x92101073 /* server to client */
#define HAC_IPC_MTYPE 1
#define HAC_IPC_CHUNK_SIZE 1024

enum HacMessageType {
    HAC_MSG_SEND_AIT_IDS = 101,             /* client to server, one-way */
    HAC_MSG_SEND_AIT_APP_INFO = 102,        /* client to server, one-way */
    HAC_MSG_STOP_APP = 103,                 /* client to server, one-way */
    HAC_MSG_SEND_XML_AIT_URL = 104,         /* client to server, one-way */
    HAC_MSG_SEND_KEY = 105,                 /* client to server, one-way, served by nobody */
    HAC_MSG_GET_APP_ERROR_CODE = 106,       /* query */
    HAC_MSG_GET_APP_ERROR_CODE_REPLY = 107,
    /* 108 is not assigned */
    HAC_MSG_SHOW_TELETEXT_APP = 109,        /* query */
    HAC_MSG_SHOW_TELETEXT_APP_REPLY = 110,
    HAC_MSG_CREATE_BI_APPLICATION = 111,    /* query */
    HAC_MSG_CREATE_BI_APPLICATION_REPLY = 112,
    HAC_MSG_DESTROY_BI_APPLICATION = 113,   /* client to server, one-way */
    HAC_MSG_RESET = 114,                    /* client to server, one-way */
    HAC_MSG_GET_VERSION = 115,              /* query */
    HAC_MSG_GET_VERSION_REPLY = 116,
    HAC_MSG_IS_APP_RUNNING = 117,           /* query */
    HAC_MSG_IS_APP_RUNNING_REPLY = 118,
    HAC_MSG_KEY_EVENT = 119,                /* server to client, one-way */
    HAC_MSG_APP_STATE = 120,                /* server to client, one-way */
    HAC_MSG_DVB_AIT_STATUS = 121,           /* server to client, one-way */
    HAC_MSG_XML_AIT_STATUS = 122            /* server to client, one-way */
};

#endif /* HAC_MESSAGE_TYPE_H */
