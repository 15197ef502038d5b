// The one table of the context ids that the library puts into the errors it
// makes: the ids of the exported functions' frames (a standard exception or an
// unknown throw), then those of each error the library raises itself, grouped
// by where it is raised. An id is taken from here and never spelt inline, so
// that a rendered id leads back to exactly one place.
#pragma once

#include "error/context_id.h"

namespace kelvoapi::ContextIds {

// kelvo_attach_database
inline constexpr ContextId AttachDatabase{0x0e004a74};
// kelvo_cancel
inline constexpr ContextId Cancel{0x76ff2737};
// kelvo_close_inserter
inline constexpr ContextId CloseInserter{0x609da04a};
// kelvo_connect
inline constexpr ContextId Connect{0xdd05adc3};
// kelvo_copy_data
inline constexpr ContextId CopyData{0x01c774c7};
// kelvo_copy_end
inline constexpr ContextId CopyEnd{0xbfb61508};
// kelvo_copy_table_definition
inline constexpr ContextId CopyTableDefinition{0x698b901e};
// kelvo_create_connection_parameters
inline constexpr ContextId CreateConnectionParameters{0x31066d0d};
// kelvo_create_database
inline constexpr ContextId CreateDatabase{0x685c55ff};
// kelvo_create_inserter
inline constexpr ContextId CreateInserter{0xb6b38f09};
// kelvo_create_inserter_buffer
inline constexpr ContextId CreateInserterBuffer{0x4dc57d81};
// kelvo_create_instance_parameters
inline constexpr ContextId CreateInstanceParameters{0xa58781f4};
// kelvo_create_schema
inline constexpr ContextId CreateSchema{0x685775ff};
// kelvo_create_table
inline constexpr ContextId CreateTable{0xa5c307ee};
// kelvo_detach_all_databases
inline constexpr ContextId DetachAllDatabases{0x2b4a292d};
// kelvo_detach_database
inline constexpr ContextId DetachDatabase{0x84f92a22};
// kelvo_drop_database
inline constexpr ContextId DropDatabase{0x1a07c27e};
// kelvo_error_get_field
inline constexpr ContextId ErrorGetField{0x82020fbb};
// kelvo_error_set_field
inline constexpr ContextId ErrorSetField{0xf3323055};
// kelvo_execute_command
inline constexpr ContextId ExecuteCommand{0xfe584af7};
// kelvo_execute_prepared
inline constexpr ContextId ExecutePrepared{0x64333fac};
// kelvo_execute_query
inline constexpr ContextId ExecuteQuery{0x5d52b1f3};
// kelvo_execute_query_params
inline constexpr ContextId ExecuteQueryParams{0xce8da909};
// kelvo_get_schema_names
inline constexpr ContextId GetSchemaNames{0x57c35a26};
// kelvo_get_table_definition
inline constexpr ContextId GetTableDefinition{0x62d189a1};
// kelvo_get_table_names
inline constexpr ContextId GetTableNames{0xa82ea42b};
// kelvo_has_table
inline constexpr ContextId HasTable{0xe4dbfdc9};
// kelvo_init_bulk_insert
inline constexpr ContextId InitBulkInsert{0xf6d4acf2};
// kelvo_insert_computed_expressions
inline constexpr ContextId InsertComputedExpressions{0x3aa32694};
// kelvo_inserter_buffer_add_binary
inline constexpr ContextId InserterBufferAddBinary{0xf046fdc8};
// kelvo_inserter_buffer_add_bool
inline constexpr ContextId InserterBufferAddBool{0x49991404};
// kelvo_inserter_buffer_add_date
inline constexpr ContextId InserterBufferAddDate{0x1c926860};
// kelvo_inserter_buffer_add_double
inline constexpr ContextId InserterBufferAddDouble{0x43f16c1c};
// kelvo_inserter_buffer_add_int16
inline constexpr ContextId InserterBufferAddInt16{0xcca41ee3};
// kelvo_inserter_buffer_add_int32
inline constexpr ContextId InserterBufferAddInt32{0xb4aba42c};
// kelvo_inserter_buffer_add_int64
inline constexpr ContextId InserterBufferAddInt64{0x9d8ae374};
// kelvo_inserter_buffer_add_null
inline constexpr ContextId InserterBufferAddNull{0xfbd625c1};
// kelvo_inserter_buffer_add_raw
inline constexpr ContextId InserterBufferAddRaw{0x1e1d01cb};
// kelvo_inserter_buffer_flush
inline constexpr ContextId InserterBufferFlush{0x1df54819};
// kelvo_inserter_insert_chunk
inline constexpr ContextId InserterInsertChunk{0x5a374737};
// kelvo_instance_create
inline constexpr ContextId InstanceCreate{0x4db1ec65};
// kelvo_instance_shutdown
inline constexpr ContextId InstanceShutdown{0xaff387d4};
// kelvo_parameters_set
inline constexpr ContextId ParametersSet{0xb591b658};
// kelvo_parse_numeric
inline constexpr ContextId ParseNumeric{0x15ebbae1};
// kelvo_ping
inline constexpr ContextId Ping{0x40de4ab2};
// kelvo_prepare
inline constexpr ContextId Prepare{0x3beb7719};
// kelvo_resize_data_chunk
inline constexpr ContextId ResizeDataChunk{0x6de2bf45};
// kelvo_rowset_chunk_field_values
inline constexpr ContextId RowsetChunkFieldValues{0xc1e7dd39};
// kelvo_rowset_get_copy_data
inline constexpr ContextId RowsetGetCopyData{0x4105d459};
// kelvo_rowset_get_next_chunk
inline constexpr ContextId RowsetGetNextChunk{0x4105d458};
// kelvo_table_definition_add_column
inline constexpr ContextId TableDefinitionAddColumn{0xb771d06c};

// Errors raised by the error functions themselves.
inline constexpr ContextId ErrorGetFieldInvalidKey{0x311af7e6};
inline constexpr ContextId ErrorSetFieldInvalidKey{0x2fecca9a};
// The fixed out-of-memory error.
inline constexpr ContextId OutOfMemory{0xbada110c};

// Bulk insertion over a second connection.
inline constexpr ContextId StreamConnectionFailed{0xb4a8482c};
inline constexpr ContextId TaskEndedAtOnce{0x51d2cd35};
inline constexpr ContextId BulkChunkFailed{0x13f24941};
inline constexpr ContextId BadStreamConnection{0xd406b94f};
inline constexpr ContextId SettingMissing{0x8c03e6f1};
inline constexpr ContextId SwitchAfterCopy{0x2f9b40d6};
inline constexpr ContextId BulkInsertRunning{0x1b5e9c44};
inline constexpr ContextId EndedBeforeClose{0x2d7f0a63};

// Catalog look-ups.
inline constexpr ContextId TableNotFound{0x7bd02a3b};
inline constexpr ContextId SchemaNotFound{0xdb2e8a8b};
inline constexpr ContextId TableNotFoundInCatalog{0x08b95b2f};
inline constexpr ContextId BadPersistence{0xea3470d1};
inline constexpr ContextId UnknownDatabase{0x80d59a97};

// Connection state.
inline constexpr ContextId CancelFailed{0xf67825b2};
inline constexpr ContextId ConnectionBusy{0xe9bec0b1};
inline constexpr ContextId CancelUnanswered{0x5c0d7a31};

// Connecting through an endpoint.
inline constexpr ContextId MissingEndpoint{0x0bc94f6f};
inline constexpr ContextId ForeignEndpoint{0x4c9cff21};

// Opening, cloning and closing connections.
inline constexpr ContextId ConnectCreateMain{0xee4bba0e};
inline constexpr ContextId ConnectFailed{0xd6232f85};
inline constexpr ContextId InvalidCreateMode{0xa813f981};
inline constexpr ContextId CreateWithoutPath{0x4e61d0b8};
inline constexpr ContextId DetachSkipped{0xc50b814c};
inline constexpr ContextId CloneFailed{0x03b09644};
inline constexpr ContextId CloneSourceBad{0xaef5ca61};
inline constexpr ContextId CloneNoConninfo{0xcd1e6e68};
inline constexpr ContextId CloneTargetBad{0x1e753bda};
inline constexpr ContextId ConnectionNotice{0x59972702};

// Inserters and their copy stream.
inline constexpr ContextId UnsupportedColumn{0xefa77244};
inline constexpr ContextId OpenCopyFailed{0x25a07c27};
inline constexpr ContextId PutCopyDataFailed{0xdc3c1e26};
inline constexpr ContextId PutCopyEndFailed{0x509b2d85};
inline constexpr ContextId CopyCancelled{0x3df1553f};
inline constexpr ContextId PlainNoResult{0x13f24943};
inline constexpr ContextId PlainChunkFailed{0x13f24942};
inline constexpr ContextId CopyFailed{0x13f24940};
inline constexpr ContextId ChunkTooShort{0x6e0d93b1};
inline constexpr ContextId ChunkTooLarge{0x4c8e27a5};
inline constexpr ContextId InserterClosed{0x7a41c3e9};

// Inserter buffers.
inline constexpr ContextId ValueTooLarge{0x995a946a};
inline constexpr ContextId NoColumns{0x7c1e52a0};
inline constexpr ContextId NullInNotNullColumn{0x3b86d417};
inline constexpr ContextId WrongCell{0x5e0b72d1};

// Starting server instances.
inline constexpr ContextId StartFailed{0x86a93465};
inline constexpr ContextId StartFailedSystem{0x7b68903a};
inline constexpr ContextId StartFailedSystemCause{0xc443e22d};
inline constexpr ContextId StartFailedRuntime{0x627469d0};
inline constexpr ContextId InvalidInstance{0x41862f97};

// Numeric parsing.
inline constexpr ContextId NumericEmpty{0x3d605416};
inline constexpr ContextId NumericInvalidCharacter{0x38c394ab};
inline constexpr ContextId NumericInvalidExponent{0xb44e1dd0};
inline constexpr ContextId NumericOverflow{0x1850391f};

// Rowsets.
inline constexpr ContextId RowsetChunkFailed{0xfa6b0e2f};
inline constexpr ContextId CopyDataFailed{0xaff5ca61};
inline constexpr ContextId ChunkedModeRefused{0x458e8ce1};
inline constexpr ContextId RowsetInErrorState{0xe79f27b8};
inline constexpr ContextId RowsetInErrorStateCause{0xf628980b};
inline constexpr ContextId NoCopyData{0x6c2d0b57};

// Sending statements for a rowset.
inline constexpr ContextId SendQueryParamsFailed{0x34092392};
inline constexpr ContextId SendPrepareFailed{0xe580198d};
inline constexpr ContextId SendPreparedFailed{0xbef7b2ba};

// Statement results.
inline constexpr ContextId ConnectionNotOk{0xea4d190c};
inline constexpr ContextId NoResultPending{0xfd1c5d35};
inline constexpr ContextId FirstResultFailed{0x5fdfad59};
inline constexpr ContextId UnaskedCopyBoth{0x2b7e61d4};

// Sending statements.
inline constexpr ContextId SendQueryFailed{0x43da522a};

// Column types.
inline constexpr ContextId UnsupportedType{0x6f86ef7b};

// The server command line.
inline constexpr ContextId InvalidUseTcpPort{0x1d669fd7};
inline constexpr ContextId UnwritableOption{0x5be2a9c4};

// Processor check.
inline constexpr ContextId ProcessorUnsupported{0x0f4c5532};

// Database names in connection options.
inline constexpr ContextId DbnameJsonFailed{0xd2ba2a0b};

// The server process.
inline constexpr ContextId ExecutableMissing{0x0aae87b1};
inline constexpr ContextId BadDescriptor{0xa27dd27e};
inline constexpr ContextId SpawnFailed{0xeee3fd70};
inline constexpr ContextId SpawnFailedCause{0x07e9110c};
inline constexpr ContextId ExitedDuringStartup{0x13cead20};
inline constexpr ContextId NoCallBack{0xf6603a71};
inline constexpr ContextId ShutdownTimedOut{0x000150ff};
inline constexpr ContextId ExitCodeNotZero{0x00255a28};
inline constexpr ContextId ExitCodeCause{0x00748efa};
inline constexpr ContextId ServerWaitQuery{0x0034a99f};
inline constexpr ContextId ServerRunningQuery{0x0002dead};
inline constexpr ContextId ServerKillGroup{0x0034ee82};
inline constexpr ContextId ServerReap{0x0034aaf9};
inline constexpr ContextId ExitStatusLost{0x0034c41d};

// Instance parameters.
inline constexpr ContextId ParameterSetFailed{0x53788};
inline constexpr ContextId NameWithMinus{0xa753838f};
inline constexpr ContextId NameWithCapital{0xcab17a1b};
inline constexpr ContextId LogConfigValue{0xca4566};

// Connection parameters.
inline constexpr ContextId OptionsAfterSettings{0x1d449d7};
inline constexpr ContextId SettingAfterOptions{0xaf779d7};
inline constexpr ContextId InvalidOptionsName{0x0b7e0a5d};
inline constexpr ContextId EndpointAndHost{0x1d799d7};
inline constexpr ContextId EndpointAndPort{0x4aa99d7};
inline constexpr ContextId SplitEndpointFailed{0x537};

// Finding the server binary.
inline constexpr ContextId ServerNotInLibraryDirectory{0x55c7d260};
inline constexpr ContextId ServerLibraryNotLocated{0x7fd10ffe};

}  // namespace kelvoapi::ContextIds
