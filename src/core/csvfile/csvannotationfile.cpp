// The index of the annotation file keeps the file's text as a save writes it
// (UTF-8, every line ending in "\n"), so that a save is one copy of the text
// with one row put in, and every reader's question is a lookup. Names are
// compared as UTF-8 bytes: the text is valid UTF-8 (a file that is not is
// decoded and encoded again, as its readers see it), so equal bytes are equal
// names.
#include "csvannotationfile.h"

#include <QFile>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QVarLengthArray>

#include <algorithm>
#include <cstring>
#include <ctime>

#include <sys/stat.h>


namespace {

// A file changed twice within one tick of the file system's clock can keep
// its size and times. Its identity is trusted only once that tick is past;
// until then every refresh reads it again. A file system that keeps whole
// seconds only shows no nanoseconds.
constexpr qint64 settleNanoseconds = 20'000'000;
constexpr qint64 settleCoarseNanoseconds = 2'000'000'000;

qint64 nanoseconds(qint64 seconds, qint64 nanoseconds)
{
    return seconds * 1'000'000'000 + nanoseconds;
}

QByteArrayView view(const QByteArray &bytes, qsizetype from, qsizetype to)
{
    return QByteArrayView(bytes.constData() + from, to - from);
}

// A name may begin with a byte-order mark: it stays part of the name, where
// QString::fromUtf8() would drop it and give the row another image's name.
QString decodedRow(QByteArrayView utf8)
{
    return QStringDecoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless
                                                    | QStringDecoder::Flag::ConvertInitialBom)(utf8);
}

QByteArrayView firstFieldOf(QByteArrayView line)
{
    const qsizetype comma = line.indexOf(',');
    return comma < 0 ? line : line.first(comma);
}

char32_t codePointAt(QByteArrayView text, qsizetype at)
{
    const uchar lead = uchar(text[at]);
    const int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    char32_t point = extra == 3 ? lead & 0x07u : extra == 2 ? lead & 0x0Fu : extra == 1 ? lead & 0x1Fu : lead;
    for (int k = 1; k <= extra && at + k < text.size(); ++k)
        point = (point << 6) | (uchar(text[at + k]) & 0x3Fu);
    return point;
}

// UTF-16 puts the code points above U+FFFF (two units from D800 on) before
// E000 to FFFF; this order keeps that.
char32_t utf16Rank(char32_t point)
{
    return point >= 0xE000 && point <= 0xFFFF ? point + 0x200000 : point;
}

// Compares two lines of valid UTF-8 the way QString compares them: by UTF-16
// code units.
int compareLines(QByteArrayView a, QByteArrayView b)
{
    const auto [inA, inB] = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
    if (inA == a.end())
        return inB == b.end() ? 0 : -1;
    if (inB == b.end())
        return 1;
    const uchar x = uchar(*inA);
    const uchar y = uchar(*inB);
    if (x < 0x80 && y < 0x80)
        return x < y ? -1 : 1;
    // The bytes before agree, so the character that differs starts at the
    // same place in both.
    qsizetype at = inA - a.begin();
    while (at > 0 && (uchar(a[at]) & 0xC0) == 0x80)
        --at;
    return utf16Rank(codePointAt(a, at)) < utf16Rank(codePointAt(b, at)) ? -1 : 1;
}

// Whether two neighbouring data rows stand as sorting the file leaves them: in
// ascending order, or both rows of one name with a ",", which keep the order
// they had in the file. Rows of one name with a "," all begin with the name
// and ",", so they stand side by side, and every other row sorts the same way
// against each of them.
bool inOrder(QByteArrayView previous, QByteArrayView next)
{
    if (compareLines(previous, next) <= 0)
        return true;
    const qsizetype comma = previous.indexOf(',');
    return comma >= 0 && next.size() > comma && next[comma] == ','
        && next.first(comma) == previous.first(comma);
}

// The file's bytes as the readers split them, written back line by line: no
// byte-order mark, LF for CR LF, a last line end. Bytes that are not UTF-8 go
// through the decoder that the readers use, so that they compare as read.
QByteArray savedForm(QByteArray bytes, bool *isText)
{
    if (!bytes.isValidUtf8()) {
        *isText = false;
        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString decoded = decoder.decode(bytes);
        const QStringList lines = AnnotationFormat::splitLines(decoded);
        QByteArray text;
        for (const QString &line : lines) {
            text += line.toUtf8();
            text += '\n';
        }
        return text;
    }
    *isText = !bytes.contains('\0');
    if (bytes.startsWith("\xef\xbb\xbf"))
        bytes.remove(0, 3);
    if (!bytes.contains('\r') && (bytes.isEmpty() || bytes.endsWith('\n')))
        return bytes;

    QByteArray text;
    text.reserve(bytes.size() + 1);
    qsizetype start = 0;
    while (start < bytes.size()) {
        qsizetype end = bytes.indexOf('\n', start);
        if (end < 0)
            end = bytes.size();
        qsizetype lineEnd = end;
        if (lineEnd > start && bytes.at(lineEnd - 1) == '\r')
            --lineEnd;
        text.append(bytes.constData() + start, lineEnd - start);
        text += '\n';
        start = end + 1;
    }
    return text;
}

} // namespace

bool CsvAnnotationFile::Identity::operator==(const Identity &other) const
{
    return exists == other.exists && device == other.device && inode == other.inode
        && size == other.size && modifiedSeconds == other.modifiedSeconds
        && modifiedNanoseconds == other.modifiedNanoseconds
        && changedSeconds == other.changedSeconds
        && changedNanoseconds == other.changedNanoseconds;
}

CsvAnnotationFile::CsvAnnotationFile(const QString &path, const QStringList &catalogue,
                                 QObject *parent)
    : AnnotationStore(parent)
    , filePath(path)
    , labels(catalogue)
    , listed(catalogue.size())
{
    Q_ASSERT(labels.size() <= 31);
    settleLook.setSingleShot(true);
    connect(&settleLook, &QTimer::timeout, this, &CsvAnnotationFile::refresh);
}

CsvAnnotationFile::~CsvAnnotationFile() = default;

// Links are followed, as the readers follow them.
CsvAnnotationFile::Identity CsvAnnotationFile::identityOf(const QString &path)
{
    Identity identity;
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return identity;
    identity.exists = true;
    identity.device = info.st_dev;
    identity.inode = info.st_ino;
    identity.size = info.st_size;
    identity.modifiedSeconds = info.st_mtim.tv_sec;
    identity.modifiedNanoseconds = info.st_mtim.tv_nsec;
    identity.changedSeconds = info.st_ctim.tv_sec;
    identity.changedNanoseconds = info.st_ctim.tv_nsec;
    return identity;
}

qint64 CsvAnnotationFile::nanosecondsToSettle(const Identity &identity)
{
    if (!identity.exists)
        return -1;
    timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const qint64 latest =
        std::max(nanoseconds(identity.modifiedSeconds, identity.modifiedNanoseconds),
                 nanoseconds(identity.changedSeconds, identity.changedNanoseconds));
    const bool coarse = identity.modifiedNanoseconds == 0 && identity.changedNanoseconds == 0;
    return latest + (coarse ? settleCoarseNanoseconds : settleNanoseconds)
        - nanoseconds(now.tv_sec, now.tv_nsec);
}

bool CsvAnnotationFile::isSettled(const Identity &identity)
{
    return nanosecondsToSettle(identity) < 0;
}

bool CsvAnnotationFile::refresh()
{
    if (trustsOwnWrite())
        return false;
    const bool changed = update();
    if (changed)
        emit reloaded();
    return changed;
}

// Right after its own save the file on disk is, all but surely, the one just
// written: a look between operations (a display, a count) takes the index as
// it stands while the file still shows the identity written, and the file is
// looked at once more when that identity has settled, so that another
// program's save within the same tick of the clock is still taken in, by the
// look or by the next action after it. A save reads the file again under the
// lock until then all the same.
bool CsvAnnotationFile::trustsOwnWrite()
{
    if (!ownWriteUnproven)
        return false;
    const qint64 left = nanosecondsToSettle(identity);
    if (left < 0 || !(identityOf(filePath) == identity))
        return false;
    if (!settleLook.isActive())
        settleLook.start(int(left / 1'000'000) + 1);
    return true;
}

bool CsvAnnotationFile::update()
{
    const Identity now = identityOf(filePath);
    if (identityKnown && now == identity)
        return false;

    QByteArray bytes;
    const AnnotationText::Status status = AnnotationFile::readBytes(filePath, &bytes);
    identity = now;
    identityKnown = isSettled(now);
    ownWriteUnproven = false;

    // Right after a save the identity has not settled, so the file is read
    // again although it is most likely the one written: bytes equal to the
    // index's text without what the readers' form would take out are that
    // text, and spare the decoding.
    if (status == AnnotationText::Read && index.status == AnnotationText::Read && index.isText
        && bytes == index.text && !bytes.contains('\r') && !bytes.startsWith("\xef\xbb\xbf")) {
        return false;
    }
    if (status != AnnotationText::Read) {
        if (index.status == status)
            return false;
        index = Index();
        index.status = status;
        recount();
        return true;
    }
    bool isText = true;
    QByteArray text = savedForm(std::move(bytes), &isText);
    if (index.status == AnnotationText::Read && index.isText == isText && index.text == text)
        return false;
    rebuild(std::move(text), isText);
    recount();
    return true;
}

void CsvAnnotationFile::rebuild(QByteArray text, bool isText)
{
    index = Index();
    index.status = AnnotationText::Read;
    index.isText = isText;
    index.text = std::move(text);
    Q_ASSERT(index.text.size() < qsizetype(0xFFFFFFFFu));

    const qsizetype lines = index.text.count('\n');
    index.starts.reserve(lines + 1);
    index.lineFacts.reserve(lines);
    const char *const begin = index.text.constData();
    const char *const end = begin + index.text.size();
    for (const char *start = begin; start < end;) {
        const char *lineEnd = static_cast<const char *>(std::memchr(start, '\n', end - start));
        index.starts.push_back(quint32(lineEnd + 1 - begin));
        if (lineEnd != start && lineEnd[-1] == '\r')
            index.crBeforeLineEnd = true;
        index.lineFacts.push_back(factsOfLine(QByteArrayView(start, lineEnd - start)));
        start = lineEnd + 1;
    }

    std::size_t capacity = 16;
    while (capacity < std::size_t(lines) * 2)
        capacity *= 2;
    index.buckets.assign(capacity, Bucket());
    for (qsizetype i = 1; i < lines; ++i) {
        if (!placeInSlots(i))
            ++index.repeatedNames;
        if (i > 1 && index.inOrder && !inOrder(line(i - 1), line(i)))
            index.inOrder = false;
    }
    for (qsizetype i = lines - 1; i >= 0 && index.lastMarked < 0; --i) {
        if (index.lineFacts[i] & markedBit)
            index.lastMarked = i;
    }
}

QByteArrayView CsvAnnotationFile::line(qsizetype i) const
{
    return view(index.text, index.starts[i], index.starts[i + 1] - 1);
}

QByteArrayView CsvAnnotationFile::firstField(qsizetype i) const
{
    return firstFieldOf(line(i));
}

quint32 CsvAnnotationFile::factsOfLine(QByteArrayView text) const
{
    // One pass: a field is "1" when a "1" stands between two separators (or
    // a separator and the line's end).
    quint32 facts = 0;
    qsizetype field = 0;
    const char *const end = text.data() + text.size();
    for (const char *at = text.data(); at != end; ++at) {
        if (*at != ',')
            continue;
        ++field;
        if (at + 1 != end && at[1] == '1' && (at + 2 == end || at[2] == ',')) {
            facts |= markedBit;
            if (field <= labels.size())
                facts |= 1u << (field - 1);
        }
    }
    return facts;
}

qsizetype CsvAnnotationFile::rowOf(QByteArrayView name) const
{
    return probe(index.buckets, qHash(name),
                 [&](quint32 line) { return firstField(line) == name; });
}

qsizetype CsvAnnotationFile::firstLineOf(QByteArrayView name) const
{
    if (hasLines() && firstField(0) == name)
        return 0;
    return rowOf(name);
}

bool CsvAnnotationFile::placeInSlots(qsizetype i)
{
    const QByteArrayView name = firstField(i);
    const std::size_t hash = qHash(name);
    const quint32 tag = quint32(hash >> 32);
    const std::size_t mask = index.buckets.size() - 1;
    std::size_t slot = hash & mask;
    for (; index.buckets[slot].entry != 0; slot = (slot + 1) & mask) {
        const Bucket &bucket = index.buckets[slot];
        if (bucket.tag == tag && firstField(bucket.entry - 1) == name)
            return false;
    }
    index.buckets[slot] = {quint32(i + 1), tag};
    ++index.names;
    return true;
}

void CsvAnnotationFile::takeFromSlots(qsizetype line)
{
    const std::size_t mask = index.buckets.size() - 1;
    const auto home = [&](quint32 entry) { return qHash(firstField(entry - 1)) & mask; };
    std::size_t hole = home(quint32(line + 1));
    while (index.buckets[hole].entry != quint32(line + 1)) {
        if (index.buckets[hole].entry == 0)
            return;
        hole = (hole + 1) & mask;
    }
    // An entry after the gap moves into it unless its probe starts after
    // the gap, between the gap and the entry.
    for (std::size_t slot = (hole + 1) & mask; index.buckets[slot].entry != 0;
         slot = (slot + 1) & mask) {
        const std::size_t start = home(index.buckets[slot].entry);
        const bool startsAfterHole = hole <= slot ? start > hole && start <= slot
                                                  : start > hole || start <= slot;
        if (!startsAfterHole) {
            index.buckets[hole] = index.buckets[slot];
            hole = slot;
        }
    }
    index.buckets[hole] = Bucket();
    --index.names;
}

void CsvAnnotationFile::growSlots()
{
    if (std::size_t(index.names + 1) * 2 <= index.buckets.size())
        return;
    index.buckets.assign(index.buckets.size() * 2, Bucket());
    index.names = 0;
    for (qsizetype i = 1; i < lineCount(); ++i)
        placeInSlots(i);
}

CsvAnnotationFile::RowFacts CsvAnnotationFile::facts(const QString &fileName) const
{
    return facts(QByteArrayView(fileName.toUtf8()));
}

CsvAnnotationFile::RowFacts CsvAnnotationFile::facts(QByteArrayView name) const
{
    RowFacts facts;
    const qsizetype row = rowOf(name);
    const qsizetype first = hasLines() && firstField(0) == name ? 0 : row;
    facts.hasRow = row >= 0;
    if (row >= 0)
        facts.flags = index.lineFacts[row] & ~markedBit;
    facts.marked = first >= 0 && (index.lineFacts[first] & markedBit);
    return facts;
}

bool CsvAnnotationFile::isMarked(const QString &fileName) const
{
    const qsizetype first = firstLineOf(fileName.toUtf8());
    return first >= 0 && (index.lineFacts[first] & markedBit);
}

QStringList CsvAnnotationFile::storedLabels(const QString &fileName) const
{
    const qsizetype row = rowOf(fileName.toUtf8());
    if (row < 0)
        return QStringList();
    return AnnotationFormat::labelsOfRow(QString::fromUtf8(line(0)), decodedRow(line(row)));
}

std::optional<QString> CsvAnnotationFile::lastMarkedName() const
{
    if (index.lastMarked < 0)
        return std::nullopt;
    return decodedRow(firstField(index.lastMarked));
}

void CsvAnnotationFile::setListedNames(const QStringList &names)
{
    listed.setNames(names);
    recount();
}

qsizetype CsvAnnotationFile::listedPosition(const QString &fileName) const
{
    return listed.position(fileName);
}

void CsvAnnotationFile::recount()
{
    QStringEncoder encoder(QStringEncoder::Utf8);
    QVarLengthArray<char, 1024> buffer;
    // Listed names and rows mostly come in the same order: the line after the
    // row found last is tried first. Where no name has two rows, a line with
    // the name is the name's row.
    qsizetype next = 1;
    const QByteArrayView header = hasLines() ? firstField(0) : QByteArrayView();
    const QStringList &names = listed.names();
    listed.recount([&](qsizetype i) {
        const QString &text = names.at(i);
        buffer.resize(text.size() * 3);
        const QByteArrayView name(buffer.data(), encoder.appendToBuffer(buffer.data(), text) - buffer.data());
        RowFacts row;
        if (index.repeatedNames == 0 && next < lineCount() && firstField(next) == name
            && (next > 0 && header != name)) {
            row.hasRow = true;
            row.flags = index.lineFacts[next] & ~markedBit;
            row.marked = index.lineFacts[next] & markedBit;
            ++next;
        } else {
            row = facts(name);
            if (row.hasRow)
                next = rowOf(name) + 1;
        }
        return row;
    });
}

AnnotationFormat::MarkCounts CsvAnnotationFile::markCounts() const
{
    return listed.markCounts();
}

qsizetype CsvAnnotationFile::nextUnmarked(qsizetype position) const
{
    return listed.nextUnmarked(position);
}

CsvAnnotationFile::RowFacts CsvAnnotationFile::listedFacts(qsizetype position) const
{
    return listed.facts(position);
}

QList<qsizetype> CsvAnnotationFile::labelCounts() const
{
    return listed.labelCounts();
}

SaveResult CsvAnnotationFile::saveRow(const QString &fileName, const QStringList &annotations,
                                    const std::function<bool()> &waiting)
{
    const QByteArray newRow = AnnotationFormat::buildRow(fileName, labels, annotations).toUtf8();
    return replaceRow(fileName, nullptr, newRow, waiting);
}

QByteArray CsvAnnotationFile::row(const QString &fileName) const
{
    const qsizetype found = rowOf(fileName.toUtf8());
    return found < 0 ? QByteArray() : line(found).toByteArray();
}

SaveResult CsvAnnotationFile::putBackRow(const QString &fileName, const QByteArray &expected,
                                       const QByteArray &replacement,
                                       const std::function<bool()> &waiting)
{
    return replaceRow(fileName, &expected, replacement, waiting);
}

SaveResult CsvAnnotationFile::replaceRow(const QString &fileName, const QByteArray *expected,
                                       const QByteArray &newRow,
                                       const std::function<bool()> &waiting)
{
    if (!AnnotationFormat::canHoldName(fileName))
        return SaveResult::NameNotStorable;
    if (!AnnotationFile::mayReplace(filePath))
        return SaveResult::CannotOpen;
    bool reread = false;
    QByteArray before;
    const SaveResult result = AnnotationFile::underLock(filePath, [&] {
        reread = update();
        before = row(fileName);
        // An unreadable file is refused as for any save.
        if (expected && index.status != AnnotationText::Unreadable && before != *expected)
            return SaveResult::RowChanged;
        return rewriteLocked(fileName, newRow);
    }, waiting);
    // Told once the lock is free again.
    if (reread)
        emit reloaded();
    if (result == SaveResult::Saved) {
        emit rowReplaced(fileName, before, newRow);
        emit rowSaved(fileName);
    }
    return result;
}

SaveResult CsvAnnotationFile::rewriteLocked(const QString &fileName, const QByteArray &newRow)
{
    if (index.status == AnnotationText::Unreadable || !AnnotationFile::mayReplace(filePath))
        return SaveResult::CannotOpen;
    if (!index.isText)
        return SaveResult::NotText;

    const QByteArray header = AnnotationFormat::headerRow(labels).toUtf8();
    // A file that holds nothing or nothing but line ends gets a header.
    if (index.text.size() == lineCount()) {
        if (newRow.isEmpty())
            return SaveResult::Saved;
        const QByteArray content = header + '\n' + newRow + '\n';
        const SaveResult result = AnnotationFile::writeContent(filePath, content);
        if (result == SaveResult::Saved)
            written(content);
        return result;
    }
    if (line(0) != header)
        return SaveResult::ForeignHeader;

    // In lines kept in order (see inOrder()), a row of the name that holds a
    // "," is replaced where it stands, and a name without a row gets its row at
    // its sorted place: that is what sorting the whole file would give. A row
    // put back may lack the ",": it takes the long way. A line ending in CR
    // reads back changed once written: then the whole text is taken in again
    // from what was written.
    const QByteArray name = fileName.toUtf8();
    const qsizetype row = rowOf(name);
    if (newRow.isEmpty()) {
        if (row < 0)
            return SaveResult::Saved;
        if (index.inOrder && !index.crBeforeLineEnd && index.repeatedNames == 0)
            return removeInOrder(fileName, row);
        return saveResorted(fileName, newRow);
    }
    const bool flagsOnly = newRow.size() > name.size() && newRow.startsWith(name)
        && newRow.at(name.size()) == ',';
    if (index.inOrder && !index.crBeforeLineEnd && flagsOnly && (row < 0 || line(row).contains(',')))
        return saveInOrder(fileName, row, newRow);
    return saveResorted(fileName, newRow);
}

SaveResult CsvAnnotationFile::saveInOrder(const QString &fileName, qsizetype row,
                                        const QByteArray &newRow)
{
    const quint32 newFacts = factsOfLine(newRow);
    const QByteArray &old = index.text;

    // A row keeps its place when only its flags change: rows of other names
    // sort by the name and "," alone against it, and of the rows of its own
    // name it stays the first.
    qsizetype place = row;
    if (row < 0) {
        qsizetype low = 1;
        qsizetype high = lineCount();
        while (low < high) {
            const qsizetype middle = low + (high - low) / 2;
            if (compareLines(line(middle), newRow) < 0)
                low = middle + 1;
            else
                high = middle;
        }
        place = low;
    }
    const qsizetype at = index.starts[place];
    const qsizetype oldLength = row < 0 ? 0 : index.starts[row + 1] - at;
    const qsizetype newLength = newRow.size() + 1;

    if (oldLength == newLength) {
        // The same bytes but one row: changed where they lie, and changed back
        // when the write fails.
        const QByteArray previous = old.mid(at, oldLength);
        std::memcpy(index.text.data() + at, newRow.constData(), newRow.size());
        const SaveResult result = AnnotationFile::writeContent(filePath, index.text);
        if (result != SaveResult::Saved) {
            std::memcpy(index.text.data() + at, previous.constData(), previous.size());
            return result;
        }
    } else {
        QByteArray content;
        content.reserve(old.size() - oldLength + newLength);
        content.append(old.constData(), at);
        content.append(newRow);
        content.append('\n');
        content.append(old.constData() + at + oldLength, old.size() - at - oldLength);
        const SaveResult result = AnnotationFile::writeContent(filePath, content);
        if (result != SaveResult::Saved)
            return result;
        index.text = std::move(content);

        const qint64 shift = newLength - oldLength;
        if (row < 0) {
            index.starts.insert(index.starts.begin() + place + 1, quint32(at));
            index.lineFacts.insert(index.lineFacts.begin() + place, 0);
            for (Bucket &bucket : index.buckets) {
                if (bucket.entry > quint32(place))
                    ++bucket.entry;
            }
            if (index.lastMarked >= place)
                ++index.lastMarked;
        }
        for (auto start = index.starts.begin() + place + 1; start != index.starts.end(); ++start)
            *start = quint32(*start + shift);
        if (row < 0) {
            growSlots();
            placeInSlots(place);
        }
    }
    index.lineFacts[place] = newFacts;

    if (newFacts & markedBit) {
        index.lastMarked = std::max(index.lastMarked, place);
    } else if (index.lastMarked == place) {
        findLastMarkedBefore(place);
    }
    trustWritten();
    listed.change(fileName, facts(fileName));
    return SaveResult::Saved;
}

// Removing a line leaves the lines around it in order, and with no name
// standing twice, no other row becomes the readers' row of the name.
SaveResult CsvAnnotationFile::removeInOrder(const QString &fileName, qsizetype row)
{
    const QByteArray &old = index.text;
    const qsizetype at = index.starts[row];
    const qsizetype length = index.starts[row + 1] - at;
    QByteArray content;
    content.reserve(old.size() - length);
    content.append(old.constData(), at);
    content.append(old.constData() + at + length, old.size() - at - length);
    const SaveResult result = AnnotationFile::writeContent(filePath, content);
    if (result != SaveResult::Saved)
        return result;

    takeFromSlots(row);
    index.text = std::move(content);
    index.starts.erase(index.starts.begin() + row + 1);
    for (auto start = index.starts.begin() + row + 1; start != index.starts.end(); ++start)
        *start = quint32(*start - length);
    index.lineFacts.erase(index.lineFacts.begin() + row);
    for (Bucket &bucket : index.buckets) {
        if (bucket.entry > quint32(row + 1))
            --bucket.entry;
    }
    if (index.lastMarked > row) {
        --index.lastMarked;
    } else if (index.lastMarked == row) {
        findLastMarkedBefore(row);
    }
    trustWritten();
    listed.change(fileName, facts(fileName));
    return SaveResult::Saved;
}

SaveResult CsvAnnotationFile::saveResorted(const QString &fileName, const QByteArray &newRow)
{
    // Split at "\n" alone: the index's lines keep every CR they were read with.
    QStringList lines = QString::fromUtf8(index.text).split(u'\n');
    lines.removeLast();
    const qsizetype row = AnnotationFormat::findRow(lines, fileName, 1);
    if (newRow.isEmpty()) {
        if (row >= 0)
            lines.removeAt(row);
    } else if (row >= 0) {
        lines[row] = decodedRow(newRow);
    } else {
        lines.append(decodedRow(newRow));
    }
    AnnotationFormat::sortDataRows(lines);

    QByteArray content;
    content.reserve(index.text.size() + newRow.size() + 1);
    for (const QString &text : std::as_const(lines)) {
        content += text.toUtf8();
        content += '\n';
    }
    const SaveResult result = AnnotationFile::writeContent(filePath, content);
    if (result == SaveResult::Saved)
        written(content);
    return result;
}

// The index is what a fresh read of `content` finds.
void CsvAnnotationFile::written(const QByteArray &content)
{
    bool isText = true;
    rebuild(savedForm(content, &isText), isText);
    trustWritten();
    recount();
}

// Written under the lock, so the file is the one just written as long as its
// size says so. A later change shows in its identity only once the clock's
// tick of this write is past: within it, another program's save can leave
// the same inode number (reused), size and times, so until then the next
// refresh, and the next save under the lock, read the file again.
void CsvAnnotationFile::findLastMarkedBefore(qsizetype line)
{
    index.lastMarked = -1;
    for (qsizetype i = line - 1; i >= 0 && index.lastMarked < 0; --i) {
        if (index.lineFacts[i] & markedBit)
            index.lastMarked = i;
    }
}

void CsvAnnotationFile::trustWritten()
{
    identity = identityOf(filePath);
    const bool own = identity.exists && identity.size == index.text.size();
    identityKnown = own && isSettled(identity);
    ownWriteUnproven = own && !identityKnown;
}
