/*
 * ostrel.h - the public interface of libostrel, the card-command library for
 * MIFARE Plus cards behind a Pelkin reader.
 *
 * Conventions
 *  - Every function except the four transport functions returns a status code:
 *    0 is success, anything else names the failure (reader status byte,
 *    card status mapped to 0xB0..0xBF, or one of the library's own codes).
 *  - Outputs are written only on success unless a function says otherwise.
 *  - All buffers belong to the caller; the library allocates nothing for the
 *    caller and keeps no pointer after a call returns.
 *  - Byte arguments: only the low 8 bits count. Card block numbers of Level 3
 *    and card key addresses are 16-bit and travel low byte first.
 *  - One thread at a time: the library takes no locks.
 *  - One reader per process: the library keeps one reader link and one MIFARE
 *    Plus session per process. Serve several readers with several processes
 *    (one `ostrel batch` per reader, one shared journal), never by switching
 *    readers inside one process.
 *
 * Reader selection: ReaderCommInit loads the driver named by the environment
 * variable OSTREL_HOLLINK, by default libhollink.so beside libostrel.so. The
 * driver chooses its reader from HOLLINK_READER (default: the simulator).
 */
#ifndef OSTREL_H
#define OSTREL_H

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Status codes produced by the library itself -------------------------- */
#define OSTREL_OK 0x00
#define OSTREL_NO_CARD 0x01 /* PiccActivate: no card completed selection */
#define OSTREL_NOT_SUPPORTED                                                                  \
  0x17                               /* the reader's "unknown command": not supported by this \
                                        reader (a generic PC/SC reader has no raw exchange,   \
                                        no CRYPTO1 value commands, no layer 4 at Level 1) */
#define OSTREL_BAD_VALUE_BLOCK 0x7C  /* PiccReadValue: not a value block */
#define OSTREL_LINK_SEQUENCE 0x84    /* PiccTPCL: link sequence number or flags */
#define OSTREL_AUTH_MISMATCH 0xEC    /* RndA' mismatch, NAK nibble 0x0 */
#define OSTREL_OTHER_ERROR 0xE0      /* unexpected acknowledgement nibble */
#define OSTREL_BAD_CODE 0xF0         /* command code outside the function's range */
#define OSTREL_BAD_COUNT 0xF1        /* Level 2 multi-block count */
#define OSTREL_BAD_ARGUMENT 0xF2     /* an argument is out of range */
#define OSTREL_BUFFER_OVERFLOW 0xF7  /* accumulated read MAC input would overflow */
#define OSTREL_BUFFER_TOO_SMALL 0xF9 /* the answer does not fit the answer buffer */
#define OSTREL_BAD_LENGTH 0xFC       /* answer length or bit count is wrong */
#define OSTREL_NAK_CRC 0xFE          /* NAK nibble 0x1 or 0x5 */
#define OSTREL_NO_RESPONSE 0xFF      /* no valid reader frame in three attempts */
#define OSTREL_SUPPORT_LAST_MAC 0xB8 /* Support Last answer MAC mismatch */
#define OSTREL_PC_BAD_MAC 0xD0       /* proximity check: the card's verify MAC is wrong */
#define OSTREL_PC_TOO_LATE 0xD1      /* proximity check: the challenge came back too late */

/* ---- Limits ---------------------------------------------------------------- */
/* Largest reader frame in either direction, and its largest data field. */
#define OSTREL_FRAME_MAX 64
#define OSTREL_FRAME_DATA_MAX 60
/* ReaderwriteE2 accepts at most 58 data bytes, ReaderReadE2 at most 60;
 * larger lengths return OSTREL_BAD_ARGUMENT without traffic. */
#define OSTREL_E2_WRITE_MAX 58
#define OSTREL_E2_READ_MAX 60
/* The most bytes PiccTPCL ever writes to `answer`. A longer card answer
 * stops at this many bytes, sets answerLength to it and returns
 * OSTREL_BUFFER_TOO_SMALL. PiccTPCLEx takes the capacity from the caller. */
#define OSTREL_TPCL_MAX_ANSWER 512
/* PLUSSL3Read: the most blocks one call reads. A larger count returns
 * OSTREL_BAD_ARGUMENT without traffic (the answer would not fit the read
 * buffer). Reads whose answers carry no MAC accumulate the MAC input of the
 * next MACed read; a read that would push that input beyond
 * OSTREL_SL3_READ_MAC_MAX bytes returns OSTREL_BUFFER_OVERFLOW without
 * traffic (a MACed read, or a First Authenticate, empties it). */
#define OSTREL_SL3_MAX_READ_BLOCKS 18
#define OSTREL_SL3_READ_MAC_MAX 6144

/* ---- Transport (reader link) ----------------------------------------------- */
/* ReaderCommInit, ReaderCommReset and ReaderReset end the MIFARE Plus session
 * (as halt, deselection and activation do): the card may have lost power.
 *
 * OSTREL_TRACE=FILE appends every frame to FILE. The file is created with mode
 * 0600 (an existing file keeps its mode), a symbolic link is followed to its
 * target, and anything that is not a regular file, or a file without write
 * permission, is refused: tracing stays off. Key bytes are shown as "**":
 * CRYPTO1 keys, AES keys written to key addresses, sector trailers written in
 * plain, and the payloads of ReaderReadE2 and ReaderwriteE2; a frame with more
 * secrets than the library can track is masked whole.
 *
 * Lost answers: the reader link has no way to ask for a lost part of a chained
 * answer again. The reader moves on with every request for the next part and
 * answers a repeated request with OSTREL_LINK_SEQUENCE, dropping the rest of
 * the answer; a lost one-frame answer makes the link repeat the whole request,
 * which the card then sees twice. So:
 *  - PLUSSL3Read with an answer MAC (codes 0x31, 0x33, 0x35, 0x37) repeats the
 *    read once when the card's answer began with success and the rest was lost.
 *  - Any other command whose answer is lost returns OSTREL_LINK_SEQUENCE or
 *    OSTREL_NO_RESPONSE although the card may have carried it out: after a
 *    write, a value command or a key change, authenticate again and read the
 *    block back to learn whether it was stored. Reads without an answer MAC
 *    are not repeated either: the card's MAC input then holds the lost answer,
 *    so authenticate again before the next MACed read. */
int ReaderCommInit(void);
int ReaderCommReset(void);
void ReaderCommExit(void);
/* Computes the check byte into request[3 + request[2]], then makes up to three
 * attempts to write the request and read one response frame with a valid check
 * byte. Returns 0 or 0xFF. A length byte above OSTREL_FRAME_DATA_MAX, or a
 * requestLength other than request[2] + 4, returns 0xFF before anything is
 * written to the request or sent. */
short ReaderCommand(unsigned char* request, short requestLength, unsigned char* response,
                    short responseCapacity, int timeout);

/* ---- Reader management ----------------------------------------------------- */
unsigned char ReaderClose(void);
unsigned char ReaderLoadKey(unsigned char mode, unsigned char index, const unsigned char key[6]);
unsigned char ReaderReset(unsigned char option);
unsigned char ReaderGetInfo(unsigned char* info /* 60 bytes */);
unsigned char ReaderSetControlBit(void);
unsigned char ReaderClrControlBit(void);
unsigned char ReaderConfig(void);
unsigned char ReaderBuzzer(unsigned char byte1, unsigned char byte2, unsigned char byte3,
                           unsigned char byte4);
unsigned char ReaderReadE2(unsigned char address, unsigned char length, unsigned char* buffer);
unsigned char ReaderwriteE2(unsigned char address, unsigned char length, const unsigned char* data);

/* ---- ISO 14443-3 Type A and CRYPTO1 block commands ------------------------- */
unsigned char PiccAntion(unsigned char bitCount, unsigned char uidPart[4]);
unsigned char PiccSelect(const unsigned char uidPart[4], unsigned char* sak);
unsigned char PiccAuth(unsigned char mode, unsigned char block);
/* PiccHalt, PiccDeSelect and PiccActivate end the card's MIFARE Plus session,
 * and so the library's: TI, counters, session keys and IVs go back to zero
 * (the capability bytes stay for the next First Authenticate). */
unsigned char PiccHalt(void);
unsigned char PiccReadBlock(unsigned char block, unsigned char data[16]);
unsigned char PiccWriteBlock(unsigned char block, const unsigned char data[16]);
unsigned char PiccValue(unsigned char mode, unsigned char block, int value,
                        unsigned char transferBlock);
unsigned char PiccAnticoll2(unsigned char option1, unsigned char option2, unsigned char uidPart[4]);
unsigned char PiccAuth2(unsigned char mode, unsigned char block, unsigned char extra);
/* Sends mode, sector, key (the sector byte goes before the key on the wire). */
unsigned char PiccAuthKey(unsigned char mode, const unsigned char key[6], unsigned char sector);
/* Sends selectCode, bitCount (reverse of the argument order). */
unsigned char PiccCaseAntion(unsigned char bitCount, unsigned char selectCode,
                             unsigned char uidPart[4]);
unsigned char PiccCaseSelect(unsigned char selectCode, const unsigned char uidPart[4],
                             unsigned char* sak);
unsigned char PiccValueDebit(unsigned char mode, unsigned char block, int value);
/* uid must hold 10 bytes. Returns 0 or OSTREL_NO_CARD. */
unsigned char PiccActivate(unsigned char mode, unsigned char atq[2], unsigned char uid[10],
                           unsigned char* uidLength, unsigned char* sak);
unsigned char PiccWriteValue(unsigned char block, int value);
unsigned char PiccReadValue(unsigned char block, int* value);

/* ---- ISO 14443-4 ------------------------------------------------------------- */
/* ats receives the card's TL bytes (at most 60). */
unsigned char PiccRATS(unsigned char cid, unsigned char* ats);
unsigned char PiccPPS(unsigned char dsi, unsigned char dri);
unsigned char PiccDeSelect(void);
/* T=CL transfer. command and answer may be the same buffer. answer must hold
 * OSTREL_TPCL_MAX_ANSWER bytes: the function never writes more. */
unsigned char PiccTPCL(const unsigned char* command, unsigned short commandLength,
                       unsigned char* answer, unsigned short* answerLength);
/* As PiccTPCL, with the answer buffer's capacity given by the caller. An answer
 * longer than answerCapacity stops appending there, leaves answerLength equal
 * to answerCapacity and returns OSTREL_BUFFER_TOO_SMALL. */
unsigned char PiccTPCLEx(const unsigned char* command, unsigned short commandLength,
                         unsigned char* answer, unsigned short answerCapacity,
                         unsigned short* answerLength);
/* Raw timed exchange. recvData must hold 58 bytes. Outputs are written whatever
 * the reader's status byte is (but not on a link failure). */
unsigned char PiccExChangBlock(unsigned char options, unsigned char timerExponent,
                               const unsigned char* sendData, unsigned short sendBits,
                               unsigned char* recvData, unsigned short* recvBits, int* elapsed);

/* ---- MIFARE Plus Level 3 authentication ------------------------------------ */
unsigned char PLUSSL3FirstAuth(unsigned short keyAddress, const unsigned char key[16]);
unsigned char PLUSSL3FollowingAuth(unsigned short keyAddress, const unsigned char key[16]);
unsigned char PLUSSL3RestAuth(void);

/* ---- MIFARE Plus Level 3 data and value commands --------------------------- */
unsigned char PLUSSL3Read(unsigned char code, unsigned short block, unsigned char count,
                          unsigned char* data /* 16 x count */);
unsigned char PLUSSL3Write(unsigned char code, unsigned short block, unsigned char count,
                           const unsigned char* data /* 16 x count */);
unsigned char PLUSSL3ReadValue(unsigned char code, unsigned short block, int* value);
unsigned char PLUSSL3WriteValue(unsigned char code, unsigned short block, int value);
unsigned char PLUSSL3ValueOperation(unsigned char code, unsigned short block, int value);
unsigned char PLUSSL3Transfer(unsigned char code, unsigned short block);
unsigned char PLUSSL3Restore(unsigned char code, unsigned short block);
unsigned char PLUSSL3ValueOperTran(unsigned char code, unsigned short sourceBlock,
                                   unsigned short destinationBlock, int value);

/* ---- Personalization and Level 2 ------------------------------------------- */
unsigned char PLUSWritePersoClassic(unsigned short address, const unsigned char data[16]);
unsigned char PLUSWritePersoTCL(unsigned short address, const unsigned char data[16]);
unsigned char PLUSCommitPersoClassic(void);
unsigned char PLUSCommitPersoTCL(void);
unsigned char PLUSSL2AESAuth(unsigned short keyAddress, const unsigned char key[16]);
unsigned char PLUSSL2CryptoAuth(unsigned char mode, unsigned char sector,
                                const unsigned char key[6]);
/* An answer that is not exactly 128 bits per block returns OSTREL_BAD_LENGTH
 * and writes nothing to data. */
unsigned char PLUSSL2MultiBlockRead(unsigned char block, unsigned char count,
                                    unsigned char* data /* 16 x count */);
unsigned char PLUSSL2MultiBlockWrite(unsigned char block, unsigned char count,
                                     const unsigned char* data /* 16 x count */);

/* ---- Proximity check and virtual cards -------------------------------------- */
/* Proximity check: prepare (0xF0), check (0xF2) with 7 random bytes RndC,
 * verify (0xFD) with the MAC over 0xFD, parameter, the first 7 bytes of the
 * card's check answer, RndC. It succeeds only when
 *  - the check's round trip is at most OSTREL_PC_MAX_READER_TIME_US by the
 *    reader's timer and at most OSTREL_PC_MAX_HOST_TIME_MS by the host's
 *    clock, else OSTREL_PC_TOO_LATE (no verify frame is sent), and
 *  - the card's verify answer (header, CID, 0x90, 8 MAC bytes) carries the
 *    MAC, under the same key, of the same 16 bytes with the card's status
 *    0x90 in place of 0xFD, else OSTREL_PC_BAD_MAC (OSTREL_BAD_LENGTH when
 *    the MAC is missing). */
#define OSTREL_PC_MAX_READER_TIME_US 5000
#define OSTREL_PC_MAX_HOST_TIME_MS 250
unsigned char PLUSSL3ProximityCheck(unsigned char cid, unsigned char parameter,
                                    unsigned char keyChoice, const unsigned char key[16]);
unsigned char PLUSSL3VCSupport(const unsigned char iid[16]);
/* When the card's answer carries a MAC after the cryptogram, it is checked;
 * a mismatch returns OSTREL_SUPPORT_LAST_MAC and writes no output. */
unsigned char PLUSSL3VCSupportLast(const unsigned char iid[16], const unsigned char encKey[16],
                                   const unsigned char macKey[16], unsigned char uid[7],
                                   unsigned char* uidLength, unsigned char cryptogram[16]);
unsigned char PLUSSL3VCSelect(const unsigned char data[16], const unsigned char macKey[16]);
unsigned char PLUSSL3VCDeselect(void);

#ifdef __cplusplus
}
#endif

#endif /* OSTREL_H */
