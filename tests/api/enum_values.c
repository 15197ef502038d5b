/* Calls with enumeration arguments that name no member, which C allows and
 * C++ does not: the library must refuse them without reading them as the
 * enumeration. */
#include "kelvo/kelvo.h"

kelvo_error_t* AddColumnOfTag(kelvo_table_definition_t* definition, int tag);
kelvo_table_definition_t* DefinitionOfPersistence(int persistence);
kelvo_error_t* QueryInFormat(int format, kelvo_rowset_t** rowset);
kelvo_error_t* PreparedInFormat(int format, kelvo_rowset_t** rowset);

kelvo_error_t* AddColumnOfTag(kelvo_table_definition_t* definition, int tag) {
    return kelvo_table_definition_add_column(definition, "a", (kelvo_type_tag_t)tag, 0xFFFFFFFF, NULL, true);
}
kelvo_table_definition_t* DefinitionOfPersistence(int persistence) {
    return kelvo_create_table_definition(NULL, NULL, "t", (kelvo_table_persistence_t)persistence, false);
}
/* No connection: the format is refused before the connection is looked at. */
kelvo_error_t* QueryInFormat(int format, kelvo_rowset_t** rowset) {
    return kelvo_execute_query_params(NULL, "q", (kelvo_rowset_result_format_t)format, rowset);
}
kelvo_error_t* PreparedInFormat(int format, kelvo_rowset_t** rowset) {
    return kelvo_execute_prepared(NULL, "p", (kelvo_rowset_result_format_t)format, rowset);
}
