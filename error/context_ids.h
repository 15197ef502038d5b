// The one table of context ids that exported functions put into the errors
// their frame makes (a standard exception or an unknown throw), plus the ids
// of the few errors the error functions raise themselves. An export takes its
// id from here and never spells it inline, so that a rendered id leads back
// to exactly one function.
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

}  // namespace kelvoapi::ContextIds
