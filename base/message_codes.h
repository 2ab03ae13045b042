// Every text of the message table by name. Report, throw and look texts up with
// these rather than with bare numbers: the number is also the event identifier an
// administrator sees, so it never changes. Several texts stand twice under codes
// of their own (the TCP and UDP endpoints and servers); each caller uses its own.
#pragma once

// Language names: the text of code L names language L.
inline constexpr int kMsgLanguageEnglish = 0;
inline constexpr int kMsgLanguageSpanish = 1;

// Foundation: allocation, files opened by name, the readers/writer lock.
inline constexpr int kMsgNewFailed = 2;
inline constexpr int kMsgCouldNotOpenFile = 3;
inline constexpr int kMsgCouldNotStatFile = 4;
inline constexpr int kMsgCreateEventFailed = 5;
inline constexpr int kMsgReaderCountNegative = 6;
inline constexpr int kMsgOkToWriteSetFailed = 7;
inline constexpr int kMsgOkToWriteResetFailed = 8;
inline constexpr int kMsgOkToWriteWaitFailed = 9;
inline constexpr int kMsgReadersAtWriteUnlock = 10;
inline constexpr int kMsgNamedLockNoName = 21;
inline constexpr int kMsgMemoryAllocationFailed = 22;
inline constexpr int kMsgFileNameNotSupplied = 23;

// Configuration, lists and dictionary files.
inline constexpr int kMsgConfigCorrupt = 24;
inline constexpr int kMsgConfigUnsupportedVersion = 25;
inline constexpr int kMsgConfigDuplicateDefinition = 26;
inline constexpr int kMsgConfigSettingBeforeDefinition = 27;
inline constexpr int kMsgWriteCorruptConfig = 28;
inline constexpr int kMsgErrorWritingFile = 29;
inline constexpr int kMsgUnexpectedObjectType = 30;
inline constexpr int kMsgConfigRenameFailed = 31;
inline constexpr int kMsgFreeFailed = 32;
inline constexpr int kMsgListNotSorted = 33;

// Sockets of the first endpoint generation, file positioning, misuse.
inline constexpr int kMsgNoSocket = 34;
inline constexpr int kMsgBindToPortFailed = 35;
inline constexpr int kMsgListenReturned = 36;
inline constexpr int kMsgAcceptReturned = 37;
inline constexpr int kMsgSendDataError = 38;
inline constexpr int kMsgReceiveDataError = 39;
inline constexpr int kMsgPositioningFile = 40;
inline constexpr int kMsgInappropriateOperation = 41;

// Named locks.
inline constexpr int kMsgNamedLockWaitFailed = 42;
inline constexpr int kMsgNamedLockReleaseFailed = 43;
inline constexpr int kMsgNamedLockCreateFailed = 44;

// Registry access.
inline constexpr int kMsgRegistryReadOpenKeyFailed = 45;
inline constexpr int kMsgRegistryReadQueryFailed = 46;
inline constexpr int kMsgRegistrySetOpenKeyFailed = 47;
inline constexpr int kMsgRegistrySetValueFailed = 48;
inline constexpr int kMsgRegistryDeleteOpenKeyFailed = 49;
inline constexpr int kMsgRegistryDeleteValueFailed = 50;

// Clock, look-ups, containers, directories.
inline constexpr int kMsgTimerThreadFailed = 51;
inline constexpr int kMsgDnsLookupFailed = 54;
inline constexpr int kMsgListIndexOutOfRange = 55;
inline constexpr int kMsgListWithoutCompare = 56;
inline constexpr int kMsgHashUnavailable = 57;
inline constexpr int kMsgHashInvalidSize = 58;
inline constexpr int kMsgHashCorrupted = 59;
inline constexpr int kMsgHashNotEmpty = 60;
inline constexpr int kMsgCannotMakeDirectory = 61;

// Mailbox manager and mailboxes.
inline constexpr int kMsgMailboxManagerCountNegative = 62;
inline constexpr int kMsgMailboxCountNegative = 63;
inline constexpr int kMsgMailboxManagerNotInMemory = 64;
inline constexpr int kMsgMailboxManagerDeleteNotInMemory = 65;
inline constexpr int kMsgMailboxCleanerThreadFailed = 66;
inline constexpr int kMsgMailboxCorrupt = 67;

// Administration pages and login.
inline constexpr int kMsgObjectTypeInvalid = 70;
inline constexpr int kMsgObjectNameInvalid = 71;
inline constexpr int kMsgNameReserved = 72;
inline constexpr int kMsgObjectExists = 73;
inline constexpr int kMsgAddObjectInternalError = 75;
inline constexpr int kMsgAdditionsFailed = 76;
inline constexpr int kMsgNoPermission = 77;
inline constexpr int kMsgInvalidLogin = 78;
inline constexpr int kMsgCookiesRequired = 79;
inline constexpr int kMsgNoHandlerForRequest = 80;
inline constexpr int kMsgDeletionsFailed = 81;
inline constexpr int kMsgObjectMissing = 82;
inline constexpr int kMsgModifyAttributesFailed = 83;
inline constexpr int kMsgBadIfElseFi = 84;

// Disk and memory files, paths and directories.
inline constexpr int kMsgFileAlreadyOpen = 85;
inline constexpr int kMsgFileOpenFailed = 86;
inline constexpr int kMsgFileNotOpened = 87;
inline constexpr int kMsgFileCloseFailed = 88;
inline constexpr int kMsgFileReadFailed = 89;
inline constexpr int kMsgFileSeekFailed = 90;
inline constexpr int kMsgFileTruncateFailed = 91;
inline constexpr int kMsgFileWriteFailed = 92;
inline constexpr int kMsgFileStatFailed = 93;
inline constexpr int kMsgFileFstatFailed = 94;
inline constexpr int kMsgFileReadArguments = 95;
inline constexpr int kMsgFileWriteArguments = 96;
inline constexpr int kMsgFileReadLineArguments = 97;
inline constexpr int kMsgFileTruncateArguments = 98;
inline constexpr int kMsgFileNotWritable = 99;
inline constexpr int kMsgFileUnlinkFailed = 100;
inline constexpr int kMsgFileRenameFailed = 101;
inline constexpr int kMsgDirCreateFailed = 102;
inline constexpr int kMsgDirRemoveFailed = 103;
inline constexpr int kMsgDirOpenFailed = 104;
inline constexpr int kMsgDirReadFailed = 105;
inline constexpr int kMsgDirCloseFailed = 106;
inline constexpr int kMsgDirListFailed = 107;
inline constexpr int kMsgTooManyOpenFiles = 108;

// Web pages: files shown, host names, quotas.
inline constexpr int kMsgMissingDisplayFileName = 109;
inline constexpr int kMsgMissingFile = 110;
inline constexpr int kMsgHostNotFound = 111;
inline constexpr int kMsgQuotaRequired = 112;

// TCP endpoint.
inline constexpr int kMsgTcpAlreadyDisconnected = 113;
inline constexpr int kMsgTcpAlreadyListening = 114;
inline constexpr int kMsgTcpAlreadyConnected = 115;
inline constexpr int kMsgTcpIsListening = 116;
inline constexpr int kMsgTcpIsConnected = 117;
inline constexpr int kMsgTcpIsDisconnected = 118;
inline constexpr int kMsgTcpNotConnected = 119;
inline constexpr int kMsgTcpNotListening = 120;
inline constexpr int kMsgTcpNotDisconnected = 121;
inline constexpr int kMsgTcpNoAddresses = 122;
inline constexpr int kMsgTcpSocketFailed = 123;
inline constexpr int kMsgTcpShutdownFailed = 124;
inline constexpr int kMsgTcpConnectFailed = 125;
inline constexpr int kMsgTcpCloseFailed = 126;
inline constexpr int kMsgTcpSetsockoptFailed = 127;
inline constexpr int kMsgTcpClosesocketFailed = 128;
inline constexpr int kMsgTcpBindFailed = 129;
inline constexpr int kMsgTcpListenFailed = 130;
inline constexpr int kMsgTcpAcceptFailed = 131;
inline constexpr int kMsgTcpGetsocknameFailed = 132;
inline constexpr int kMsgTcpGetpeernameFailed = 133;
inline constexpr int kMsgTcpSelectFailed = 134;
inline constexpr int kMsgTcpRecvFailed = 135;
inline constexpr int kMsgTcpReceiveArguments = 136;
inline constexpr int kMsgTcpReceiveLineArguments = 137;
inline constexpr int kMsgTcpSendArguments = 138;
inline constexpr int kMsgSocketStartupFailed = 139;
inline constexpr int kMsgSetrlimitFailed = 140;

// TCP servers (SMTP, POP3, HTTP).
inline constexpr int kMsgTcpServerStartArguments = 141;
inline constexpr int kMsgTcpServerThreadArgument = 142;
inline constexpr int kMsgTcpServerAlreadyStarted = 143;
inline constexpr int kMsgTcpServerListenFailed = 146;
inline constexpr int kMsgTcpServerThreadException = 147;
inline constexpr int kMsgTcpServerThreadsShort = 148;
inline constexpr int kMsgTcpServerRestartFailed = 149;

// Administration and web mail forms.
inline constexpr int kMsgNoObjectSelected = 144;
inline constexpr int kMsgMetaOperationNotFound = 145;
inline constexpr int kMsgSmtpCreateFailed = 150;
inline constexpr int kMsgInvalidWord = 151;
inline constexpr int kMsgInvalidPort = 152;
inline constexpr int kMsgHttpPortChangeFailed = 153;
inline constexpr int kMsgMissingInformation = 154;
inline constexpr int kMsgUnknownEventType = 159;
inline constexpr int kMsgNoEventSelected = 160;
inline constexpr int kMsgTimePassed = 161;
inline constexpr int kMsgEventConflict = 162;
inline constexpr int kMsgAddEventFailed = 163;
inline constexpr int kMsgMailboxOpenFailed = 164;
inline constexpr int kMsgEditMessageFailed = 165;
inline constexpr int kMsgSendMessageFailed = 166;
inline constexpr int kMsgNoRecipient = 167;
inline constexpr int kMsgInvalidRecipient = 168;
inline constexpr int kMsgInvalidTimeRange = 169;

// Thread locks, readers/writer locks and named locks misused.
inline constexpr int kMsgLockHeldAtDestruction = 170;
inline constexpr int kMsgLockTakenAgain = 171;
inline constexpr int kMsgLockNotHeld = 172;
inline constexpr int kMsgNamedLockTakenAgain = 173;
inline constexpr int kMsgNamedLockHeldAtDestruction = 174;
inline constexpr int kMsgWriteLockTakenAgain = 175;
inline constexpr int kMsgWriteLockHeldAtDestruction = 176;

// UDP endpoint.
inline constexpr int kMsgUdpNoAddresses = 177;
inline constexpr int kMsgUdpConnectFailed = 178;
inline constexpr int kMsgUdpAlreadyClosed = 179;
inline constexpr int kMsgUdpCloseFailed = 180;
inline constexpr int kMsgUdpBindFailed = 181;
inline constexpr int kMsgUdpIsClosed = 182;
inline constexpr int kMsgUdpGetsocknameFailed = 183;
inline constexpr int kMsgUdpGetpeernameFailed = 184;
inline constexpr int kMsgUdpSocketFailed = 185;
inline constexpr int kMsgUdpClosesocketFailed = 186;
inline constexpr int kMsgUdpSelectFailed = 187;
inline constexpr int kMsgUdpNotConnected = 188;
inline constexpr int kMsgUdpReceiveArguments = 189;
inline constexpr int kMsgUdpSendArguments = 190;
inline constexpr int kMsgUdpIsConnected = 191;
inline constexpr int kMsgUdpSetsockoptFailed = 192;

// DNS resolver.
inline constexpr int kMsgDnsStartArguments = 193;
inline constexpr int kMsgDnsAlreadyStarted = 194;
inline constexpr int kMsgDnsNoServers = 195;
inline constexpr int kMsgDnsShortReply = 196;
inline constexpr int kMsgDnsNotReply = 197;
inline constexpr int kMsgDnsMalformedReply = 198;
inline constexpr int kMsgDnsFormatError = 199;
inline constexpr int kMsgDnsServerFail = 200;
inline constexpr int kMsgDnsNameErrorNotAuthoritative = 201;
inline constexpr int kMsgDnsNotImplemented = 202;
inline constexpr int kMsgDnsRefused = 203;
inline constexpr int kMsgDnsInvalidReplyCode = 204;
inline constexpr int kMsgDnsNoQuerySection = 205;
inline constexpr int kMsgDnsUnknownRequest = 206;
inline constexpr int kMsgDnsCnameLoop = 207;
inline constexpr int kMsgDnsOversizedReply = 215;

// UDP servers.
inline constexpr int kMsgUdpServerStartArguments = 208;
inline constexpr int kMsgUdpServerAlreadyStarted = 209;
inline constexpr int kMsgUdpServerListenFailed = 210;
inline constexpr int kMsgUdpServerThreadsShort = 211;
inline constexpr int kMsgUdpServerThreadArgument = 212;
inline constexpr int kMsgUdpServerThreadException = 213;
inline constexpr int kMsgUdpServerRestartFailed = 214;

// Page words: web client, events, mail views.
inline constexpr int kMsgUserLoggedOut = 216;
inline constexpr int kMsgUnknown = 217;
inline constexpr int kMsgLogout = 221;
inline constexpr int kMsgTop = 222;
inline constexpr int kMsgReplace = 223;
inline constexpr int kMsgDefaultEvent = 229;
inline constexpr int kMsgRepeat = 230;
inline constexpr int kMsgWebClient = 231;
inline constexpr int kMsgUnfiltered = 232;
inline constexpr int kMsgFiltered = 233;
inline constexpr int kMsgAllowOnly = 234;
inline constexpr int kMsgSmtp = 235;
inline constexpr int kMsgPop = 236;
inline constexpr int kMsgNoEventsFound = 237;
inline constexpr int kMsgDailyEvents = 238;
inline constexpr int kMsgSpecificEvents = 239;
inline constexpr int kMsgMailbox = 240;
inline constexpr int kMsgUnread = 241;
inline constexpr int kMsgTotal = 242;
inline constexpr int kMsgWebClientNotAllowed = 243;
inline constexpr int kMsgDeleteMessage = 244;
inline constexpr int kMsgSize = 245;
inline constexpr int kMsgNoSubject = 246;
inline constexpr int kMsgMessageNotFound = 247;
inline constexpr int kMsgMessages = 248;
inline constexpr int kMsgFrom = 249;
inline constexpr int kMsgTo = 250;
inline constexpr int kMsgSubject = 251;
inline constexpr int kMsgDate = 252;
inline constexpr int kMsgCc = 253;
inline constexpr int kMsgResentFrom = 254;
inline constexpr int kMsgResentTo = 255;
inline constexpr int kMsgResentCc = 256;
inline constexpr int kMsgResentDate = 257;
inline constexpr int kMsgMessage = 258;
inline constexpr int kMsgAttachments = 259;
inline constexpr int kMsgNoName = 260;
inline constexpr int kMsgContentType = 261;
inline constexpr int kMsgAttachmentFailed = 262;
inline constexpr int kMsgForwardStart = 263;
inline constexpr int kMsgForwardEnd = 264;

// Activity log: field names, actions, results, reports.
inline constexpr int kMsgNoLoginInSession = 265;
inline constexpr int kMsgRealm = 266;
inline constexpr int kMsgAdministration = 267;
inline constexpr int kMsgAction = 268;
inline constexpr int kMsgLogin = 269;
inline constexpr int kMsgLogoff = 270;
inline constexpr int kMsgConnectedTo = 271;
inline constexpr int kMsgDisconnected = 272;
inline constexpr int kMsgMessageAccepted = 273;
inline constexpr int kMsgMessageDelivered = 274;
inline constexpr int kMsgMessageBounced = 275;
inline constexpr int kMsgMessageDropped = 276;
inline constexpr int kMsgObjectAdded = 277;
inline constexpr int kMsgObjectDeleted = 278;
inline constexpr int kMsgObjectScheduled = 279;
inline constexpr int kMsgObjectModified = 280;
inline constexpr int kMsgObjectRenamed = 281;
inline constexpr int kMsgConnectionFrom = 282;
inline constexpr int kMsgResult = 283;
inline constexpr int kMsgSucceeded = 284;
inline constexpr int kMsgFailed = 285;
inline constexpr int kMsgReason = 286;
inline constexpr int kMsgContentManagementViolation = 287;
inline constexpr int kMsgType = 288;
inline constexpr int kMsgName = 289;
inline constexpr int kMsgInfo = 290;
inline constexpr int kMsgLastResponse = 291;
inline constexpr int kMsgAccessReport = 292;
inline constexpr int kMsgNoMatchingRecords = 293;

// POP3 replies and activity words.
inline constexpr int kMsgPopNotTransaction = 294;
inline constexpr int kMsgPopDeleteIncomplete = 295;
inline constexpr int kMsgPopNotAuthorization = 296;
inline constexpr int kMsgPopNoUser = 297;
inline constexpr int kMsgServiceNotAllowed = 298;
inline constexpr int kMsgPopMaildropLocked = 299;
inline constexpr int kMsgPopInvalidNumber = 300;
inline constexpr int kMsgPopAlreadyDeleted = 301;
inline constexpr int kMsgPopCannotOpen = 302;
inline constexpr int kMsgUnknownCommand = 303;
inline constexpr int kMsgProtocolViolation = 304;
inline constexpr int kMsgMessageDeleted = 305;
inline constexpr int kMsgAccessViolation = 306;
inline constexpr int kMsgMessageRead = 307;
inline constexpr int kMsgMessageMoved = 308;
inline constexpr int kMsgMessageEdited = 309;
inline constexpr int kMsgMailboxId = 310;
inline constexpr int kMsgNewMailboxId = 311;
inline constexpr int kMsgInfo2 = 312;
inline constexpr int kMsgLastCommand = 313;
inline constexpr int kMsgContentViolation = 314;
inline constexpr int kMsgConnectionTerminated = 315;
inline constexpr int kMsgNoMessagesTransferred = 316;

// SMTP session reasons.
inline constexpr int kMsgNeedMail = 317;
inline constexpr int kMsgSyntaxError = 318;
inline constexpr int kMsgNoRcpts = 319;
inline constexpr int kMsgInternalError = 320;
inline constexpr int kMsgCouldNotOpenMessage = 321;
inline constexpr int kMsgCouldNotWriteMessage = 322;
inline constexpr int kMsgTooManyHops = 323;
inline constexpr int kMsgCouldNotSaveMessage = 324;
inline constexpr int kMsgCouldNotQueueMessage = 325;
inline constexpr int kMsgClientReceiveError = 326;
inline constexpr int kMsgHeloNotSent = 327;
inline constexpr int kMsgNestedMail = 328;
inline constexpr int kMsgCouldNotCreateMessage = 330;
inline constexpr int kMsgMessageRejected = 331;
inline constexpr int kMsgProcessingCompleted = 332;
inline constexpr int kMsgSmtpId = 333;

// Delivery outcomes.
inline constexpr int kMsgCouldNotContactServer = 334;
inline constexpr int kMsgServer = 335;
inline constexpr int kMsgDeliveryAttemptFailed = 336;
inline constexpr int kMsgRemotePermanentError = 337;
inline constexpr int kMsgDeliveryTimedOut = 338;
inline constexpr int kMsgMailboxUnknown = 339;
inline constexpr int kMsgInvalidEmailAddress = 340;
inline constexpr int kMsgOverQuota = 341;
inline constexpr int kMsgLocalDeliveryError = 342;
inline constexpr int kMsgRemoteHostNotFound = 343;
inline constexpr int kMsgPermanentFailure = 344;
inline constexpr int kMsgAddressOrContentNotAllowed = 345;

// Notifications and bounces.
inline constexpr int kMsgBounceGenerated = 346;
inline constexpr int kMsgNotificationGenerated = 347;
inline constexpr int kMsgReturnedMail = 348;
inline constexpr int kMsgCannotDeliverTo = 349;
inline constexpr int kMsgNotificationSubject = 350;
inline constexpr int kMsgApprovalSubject = 351;
inline constexpr int kMsgNotificationInformation = 352;
inline constexpr int kMsgFlaggedViolation = 353;
inline constexpr int kMsgBouncedToSender = 354;
inline constexpr int kMsgForRecipient = 355;
inline constexpr int kMsgApprovalRequired = 356;
inline constexpr int kMsgWasDelivered = 357;
inline constexpr int kMsgOriginalFollows = 358;
inline constexpr int kMsgReferenceSmtpId = 359;

// Web activity and administration reports.
inline constexpr int kMsgTimeoutLogoff = 360;
inline constexpr int kMsgAttemptedAdd = 361;
inline constexpr int kMsgAttemptedReport = 362;
inline constexpr int kMsgSystemAccount = 363;
inline constexpr int kMsgAttemptedDelete = 364;
inline constexpr int kMsgAttemptedModify = 365;
inline constexpr int kMsgAttemptedSchedule = 366;
inline constexpr int kMsgAdded = 367;
inline constexpr int kMsgRemoved = 368;
inline constexpr int kMsgDeletedEvent = 369;
inline constexpr int kMsgEditedEvent = 370;
inline constexpr int kMsgAddedEvent = 371;
inline constexpr int kMsgAttemptedWebClient = 372;
inline constexpr int kMsgSubmittedViaWeb = 373;
inline constexpr int kMsgReplyToMailboxId = 374;
inline constexpr int kMsgForwardOfMailboxId = 375;
inline constexpr int kMsgPageNotPermitted = 376;
inline constexpr int kMsgListReport = 377;
inline constexpr int kMsgNothingSelected = 378;
inline constexpr int kMsgDictionaryReport = 379;
inline constexpr int kMsgWord = 380;
inline constexpr int kMsgScore = 381;
inline constexpr int kMsgYes = 382;
inline constexpr int kMsgNo = 383;
inline constexpr int kMsgNicknameAndAddress = 384;
inline constexpr int kMsgMessageSent = 385;
inline constexpr int kMsgUnfilteredApproval = 386;
inline constexpr int kMsgUnfilteredBounce = 387;
inline constexpr int kMsgNotNotificationForm = 388;
inline constexpr int kMsgApproved = 389;
inline constexpr int kMsgBounced = 390;
inline constexpr int kMsgMessageApproval = 391;
inline constexpr int kMsgAutoLocked = 392;

// Content filter reasons (the recipient when sending, the sender when receiving).
inline constexpr int kMsgSendToDenied = 393;
inline constexpr int kMsgSendToAllowOnly = 394;
inline constexpr int kMsgNotInMailbox = 395;
inline constexpr int kMsgSendDenied = 396;
inline constexpr int kMsgSendAllowOnly = 397;
inline constexpr int kMsgSendMimeBlocked = 398;
inline constexpr int kMsgSendContentBlocked = 399;
inline constexpr int kMsgReceiveDenied = 400;
inline constexpr int kMsgReceiveAllowOnly = 401;
inline constexpr int kMsgReceiveMimeBlocked = 402;
inline constexpr int kMsgReceiveContentBlocked = 403;
inline constexpr int kMsgCannotAcceptMail = 404;
inline constexpr int kMsgWarning = 405;

// Mailbox scans.
inline constexpr int kMsgScanCorruptToc = 406;
inline constexpr int kMsgScanTocOutOfDate = 407;
inline constexpr int kMsgScanTocSizeMismatch = 408;

// Settings report and object types.
inline constexpr int kMsgQuota = 410;
inline constexpr int kMsgShowSettings = 411;
inline constexpr int kMsgSettingsThatApply = 412;
inline constexpr int kMsgClientsCast = 413;
inline constexpr int kMsgUsersCast = 414;
inline constexpr int kMsgFilteringMode = 415;
inline constexpr int kMsgAllowedAccessMethods = 416;
inline constexpr int kMsgBlockedDisposition = 417;
inline constexpr int kMsgDelivered = 418;
inline constexpr int kMsgDropped = 419;
inline constexpr int kMsgCannotSendToLists = 420;
inline constexpr int kMsgCannotReceiveFromLists = 421;
inline constexpr int kMsgAllowedToSendToLists = 422;
inline constexpr int kMsgAllowedToReceiveFromLists = 423;
inline constexpr int kMsgDictionariesUsed = 424;
inline constexpr int kMsgDictionaryThreshold = 425;
inline constexpr int kMsgBlockedMimeTypes = 426;
inline constexpr int kMsgAutoLockRule = 427;
inline constexpr int kMsgAutoLock = 428;
inline constexpr int kMsgNoQuota = 429;
inline constexpr int kMsgCast = 430;
inline constexpr int kMsgClient = 431;
inline constexpr int kMsgDictionary = 432;
inline constexpr int kMsgList = 433;
inline constexpr int kMsgUser = 434;
inline constexpr int kMsgSystem = 435;

// Protocol replies and HTTP status lines.
inline constexpr int kMsgReply500 = 436;
inline constexpr int kMsgReply221 = 437;
inline constexpr int kMsgHttp10 = 438;
inline constexpr int kMsgHttp11 = 439;
inline constexpr int kMsgHttp200 = 440;
inline constexpr int kMsgHttp302 = 441;
inline constexpr int kMsgHttp400 = 442;
inline constexpr int kMsgHttp404 = 443;

// Day and month names for mail dates: short and long day names alternate from Monday.
inline constexpr int kMsgMon = 444;
inline constexpr int kMsgMonday = 445;
inline constexpr int kMsgTue = 446;
inline constexpr int kMsgTuesday = 447;
inline constexpr int kMsgWed = 448;
inline constexpr int kMsgWednesday = 449;
inline constexpr int kMsgThu = 450;
inline constexpr int kMsgThursday = 451;
inline constexpr int kMsgFri = 452;
inline constexpr int kMsgFriday = 453;
inline constexpr int kMsgSat = 454;
inline constexpr int kMsgSaturday = 455;
inline constexpr int kMsgSun = 456;
inline constexpr int kMsgSunday = 457;
inline constexpr int kMsgJan = 458;
inline constexpr int kMsgFeb = 459;
inline constexpr int kMsgMar = 460;
inline constexpr int kMsgApr = 461;
inline constexpr int kMsgMay = 462;
inline constexpr int kMsgJun = 463;
inline constexpr int kMsgJul = 464;
inline constexpr int kMsgAug = 465;
inline constexpr int kMsgSep = 466;
inline constexpr int kMsgOct = 467;
inline constexpr int kMsgNov = 468;
inline constexpr int kMsgDec = 469;

// Dictionary scoring and the test message.
inline constexpr int kMsgFound = 470;
inline constexpr int kMsgTestMessage = 471;

// Delivery: the approval secret, envelopes that cannot be read.
inline constexpr int kMsgApprovalSecretUnusable = 472;
inline constexpr int kMsgEnvelopeMovedAside = 473;

// Encryption (TLS) of the servers.
inline constexpr int kMsgTlsNoCertificate = 474;
inline constexpr int kMsgTlsCertificateFailed = 475;
inline constexpr int kMsgEncryptionRequired = 476;
