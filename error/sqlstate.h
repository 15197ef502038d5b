// SQLSTATE codes as integers (the five characters read in base 36, first
// character most significant), the enumeration of the codes the library
// knows, and the error category that carries them inside std::error_code.
#pragma once

#include <string>
#include <string_view>
#include <system_error>

namespace kelvo {

// Any character other than '0'-'9' and 'A'-'Z' counts as 0, so a server's
// malformed code still gives a number; the text is read up to five characters.
constexpr int SqlstateValue(std::string_view text) {
    int value = 0;
    for (size_t i = 0; i < 5; ++i) {
        const char c = i < text.size() ? text[i] : '0';
        int digit = 0;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'A' && c <= 'Z') {
            digit = c - 'A' + 10;
        }
        value = value * 36 + digit;
    }
    return value;
}

// The five-character text of a code value. Values outside 0 to 36^5-1 (which
// callers can set through the C interface) are taken as unsigned 32-bit
// numbers, so every digit stays within '0'-'9' and 'A'-'Z'.
std::string SqlstateText(int value);

enum class Sqlstate : int {
    SuccessfulCompletion = SqlstateValue("00000"),
    NoData = SqlstateValue("02000"),
    ConnectionException = SqlstateValue("08000"),
    SqlclientUnableToEstablishSqlconnection = SqlstateValue("08001"),
    ConnectionDoesNotExist = SqlstateValue("08003"),
    SqlserverRejectedEstablishmentOfSqlconnection = SqlstateValue("08004"),
    ConnectionFailure = SqlstateValue("08006"),
    ProtocolViolation = SqlstateValue("08P01"),
    RoutingFailure = SqlstateValue("08S01"),
    FeatureNotSupported = SqlstateValue("0A000"),
    UnsupportedDatabaseFormat = SqlstateValue("0AS01"),
    CardinalityViolation = SqlstateValue("21000"),
    DataException = SqlstateValue("22000"),
    NumericValueOutOfRange = SqlstateValue("22003"),
    NullValueNotAllowed = SqlstateValue("22004"),
    InvalidDateTimeFormat = SqlstateValue("22007"),
    DateTimeValueOutOfRange = SqlstateValue("22008"),
    SubstringError = SqlstateValue("22011"),
    DivisionByZero = SqlstateValue("22012"),
    InvalidArgumentForLogFunction = SqlstateValue("2201E"),
    InvalidArgumentForPowerFunction = SqlstateValue("2201F"),
    InvalidArgumentForWidthBucketFunction = SqlstateValue("2201G"),
    CharacterNotInRepertoire = SqlstateValue("22021"),
    InvalidParameterValue = SqlstateValue("22023"),
    InvalidEscapeSequence = SqlstateValue("22025"),
    InvalidTextRepresentation = SqlstateValue("22P02"),
    InvalidBinaryRepresentation = SqlstateValue("22P03"),
    BadCopyFileFormat = SqlstateValue("22P04"),
    IntegrityConstraintViolation = SqlstateValue("23000"),
    NotNullViolation = SqlstateValue("23502"),
    ForeignKeyViolation = SqlstateValue("23503"),
    UniqueViolation = SqlstateValue("23505"),
    InvalidTransactionState = SqlstateValue("25000"),
    ActiveSqlTransaction = SqlstateValue("25001"),
    ReadOnlySqlTransaction = SqlstateValue("25006"),
    NoActiveSqlTransaction = SqlstateValue("25P01"),
    InFailedSqlTransaction = SqlstateValue("25P02"),
    InvalidSqlStatementName = SqlstateValue("26000"),
    InvalidAuthorizationSpecification = SqlstateValue("28000"),
    InvalidPassword = SqlstateValue("28P01"),
    DependentPrivilegeDescriptorsStillExist = SqlstateValue("2B000"),
    DependentObjectsStillExist = SqlstateValue("2BP01"),
    InvalidCursorName = SqlstateValue("34000"),
    SavepointException = SqlstateValue("3B000"),
    InvalidSavepointSpecification = SqlstateValue("3B001"),
    InvalidCatalogName = SqlstateValue("3D000"),
    InvalidSchemaName = SqlstateValue("3F000"),
    TransactionRollback = SqlstateValue("40000"),
    SerializationFailure = SqlstateValue("40001"),
    SyntaxErrorOrAccessRuleViolation = SqlstateValue("42000"),
    InsufficientPrivilege = SqlstateValue("42501"),
    SyntaxError = SqlstateValue("42601"),
    InvalidName = SqlstateValue("42602"),
    DuplicateColumn = SqlstateValue("42701"),
    UndefinedColumn = SqlstateValue("42703"),
    UndefinedObject = SqlstateValue("42704"),
    DuplicateObject = SqlstateValue("42710"),
    DuplicateFunction = SqlstateValue("42723"),
    DataTypeMismatch = SqlstateValue("42804"),
    WrongObjectType = SqlstateValue("42809"),
    CannotCoerce = SqlstateValue("42846"),
    UndefinedFunction = SqlstateValue("42883"),
    ReservedName = SqlstateValue("42939"),
    UndefinedTable = SqlstateValue("42P01"),
    DuplicateDatabase = SqlstateValue("42P04"),
    DuplicatePreparedStatement = SqlstateValue("42P05"),
    DuplicateTable = SqlstateValue("42P07"),
    InvalidColumnReference = SqlstateValue("42P10"),
    InvalidDatabaseDefinition = SqlstateValue("42P12"),
    InvalidFunctionDefinition = SqlstateValue("42P13"),
    InvalidTableDefinition = SqlstateValue("42P16"),
    InvalidObjectDefinition = SqlstateValue("42P17"),
    IndeterminateDatatype = SqlstateValue("42P18"),
    CollationMismatch = SqlstateValue("42P21"),
    InsufficientResources = SqlstateValue("53000"),
    DiskFull = SqlstateValue("53100"),
    UnableToAllocateMemory = SqlstateValue("53200"),
    ConfigurationLimitExceeded = SqlstateValue("53400"),
    TimeLimitExceeded = SqlstateValue("53S01"),
    MemoryLimitExceeded = SqlstateValue("53S02"),
    SessionMemoryLimitExceeded = SqlstateValue("53S03"),
    ProgramLimitExceeded = SqlstateValue("54000"),
    StatementTooComplex = SqlstateValue("54001"),
    TooManyColumns = SqlstateValue("54011"),
    TooManyArguments = SqlstateValue("54023"),
    ValueTooLarge = SqlstateValue("54S01"),
    ObjectNotInPrerequisiteState = SqlstateValue("55000"),
    ObjectInUse = SqlstateValue("55006"),
    CantChangeRuntimeParam = SqlstateValue("55P02"),
    LockNotAvailable = SqlstateValue("55P03"),
    OperatorIntervention = SqlstateValue("57000"),
    QueryCanceled = SqlstateValue("57014"),
    CrashShutdown = SqlstateValue("57P02"),
    CannotConnectNow = SqlstateValue("57P03"),
    SystemError = SqlstateValue("58000"),
    IoError = SqlstateValue("58030"),
    UndefinedFile = SqlstateValue("58P01"),
    DuplicateFile = SqlstateValue("58P02"),
    UndefinedStorageResource = SqlstateValue("58S01"),
    GeneralError = SqlstateValue("HY000"),
    TimeoutExpired = SqlstateValue("HYT00"),
    InternalError = SqlstateValue("XX000"),
    DataCorrupted = SqlstateValue("XX001"),
};

namespace internal {

class sqlstate_error_category final : public std::error_category {
public:
    ~sqlstate_error_category() override = default;
    const char* name() const noexcept override;
    std::string message(int value) const override;
};

}  // namespace internal

// The process-wide instance of the sqlstate category, built on first use.
const std::error_category& sqlstate_category() noexcept;

std::error_code make_error_code(Sqlstate code) noexcept;

// An operating-system error condition as an SQLSTATE; conditions without a
// mapping of their own give `fallback`.
Sqlstate mapToSqlstate(std::errc code, Sqlstate fallback) noexcept;

}  // namespace kelvo

namespace std {
template <>
struct is_error_code_enum<kelvo::Sqlstate> : true_type {};
}  // namespace std
