// The upload message's header: any bytes parse without harm, and a header written from a file
// name, a target directory and a size gives them back.
#include "dispatch/request.h"
#include "fuzzcheck.h"
#include "protocol/fileupload.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray message = "_sendBinaryFile_?" + receivedMessage(data, size);
    const Request request = Request::fromMessage(message);
    const FileUpload::Header header = FileUpload::parseHeader(request);
    FUZZ_CHECK(header.parameterCount == request.size());
    if (header.parameterCount == 3)
        FUZZ_CHECK(header.size == Request::toNumber(request[2]));
    else
        FUZZ_CHECK(header.fileName.isEmpty() && header.targetDir.isEmpty() && header.size == 0);

    // The same bytes as a file name and a target directory, with a size taken from them too.
    const QByteArray bytes = receivedMessage(data, size);
    const int middle = bytes.size() / 2;
    const QString fileName = component(bytes.left(middle)).trimmed();
    const QString targetDir = component(bytes.mid(middle));
    const qint64 fileSize = qint64(qHash(bytes)) - 0x7fffffff;
    const FileUpload::Header written = FileUpload::parseHeader(Request::fromMessage(
        (QStringLiteral("_sendBinaryFile_?") + fileName + QLatin1Char('&') + targetDir + QLatin1Char('&')
         + QString::number(fileSize))
            .toUtf8()));
    FUZZ_CHECK(written.parameterCount == 3);
    FUZZ_CHECK(written.fileName == fileName && written.targetDir == targetDir && written.size == fileSize);
    return 0;
}
