#include "agreementcommand.h"
#include "commandline.h"
#include "doubtfulcommand.h"
#include "grantcommand.h"
#include "overlapcommand.h"
#include "labelcatalogue.h"
#include "predictcommand.h"
#include "predictioncommands.h"
#include "tavrelin.h"
#include "teamaddress.h"
#include "teamdatabase.h"
#include "teamtransfer.h"
#include "windowplace.h"

#include "annotationformat.h"
#include "trainingsplit.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QIcon>
#include <QLibraryInfo>
#include <QTimer>
#include <QTranslator>

#include <algorithm>
#include <iterator>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>

namespace {

using CommandLine::refuse;
using CommandLine::text;

// An import or an export moves a dataset and shows nothing: it runs without
// the windowing system, so that it works on a server without a display.
bool movesADataset(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i) {
        for (const char *option : {"--import", "--export", "--grant", "--revoke", "--overlap"}) {
            const std::size_t length = std::strlen(option);
            if (std::strncmp(argv[i], option, length) == 0
                && (argv[i][length] == '\0' || argv[i][length] == '='))
                return true;
        }
    }
    return false;
}

// The address in `text`, or the status of the refusal already told.
std::optional<TeamAddress> addressOf(const QString &text, int *status)
{
    QString error;
    std::optional<TeamAddress> address = TeamAddress::parse(text, &error);
    if (!address)
        *status = refuse(error);
    return address;
}

int transfer(const QString &importFile, const QString &exportAddress,
             const QStringList &arguments, const QString &annotator)
{
    if (!importFile.isEmpty() && !exportAddress.isEmpty())
        return refuse(text("--import 与 --export 不能同时给出"));
    if (arguments.size() != 1)
        return refuse(importFile.isEmpty() ? text("用法：norvanta --export ADDRESS FILE.csv")
                                           : text("用法：norvanta --import FILE.csv ADDRESS"));
    int status = 0;
    const auto address = addressOf(importFile.isEmpty() ? exportAddress : arguments.at(0), &status);
    if (!address)
        return status;
    const TeamTransfer::Report report = importFile.isEmpty()
        ? TeamTransfer::exportFile(*address, arguments.at(0), labelCatalogue())
        : TeamTransfer::importFile(importFile, *address, labelCatalogue(), annotator);
    if (!report.ok) {
        const int failed = refuse(report.text);
        return report.unreachable ? failed : 1;
    }
    std::fprintf(stdout, "%s\n", qUtf8Printable(report.text));
    return 0;
}

void nameTheProgram(bool windowed)
{
    // Must stay the executable's file name: the annotation file's lock names
    // its holder by it, and another window takes a lock over as left behind
    // when the process holding it runs a program of another name.
    QCoreApplication::setApplicationName(QStringLiteral(NORVANTA_NAME));
    QCoreApplication::setApplicationVersion(QStringLiteral(NORVANTA_VERSION));
    // The desktop pairs the running program with its installed menu entry and
    // icon by this name, so the task bar shows both.
    if (!windowed)
        return;
    QGuiApplication::setDesktopFileName(QStringLiteral(NORVANTA_APP_ID));
    // Set before the window exists, so that the start-up dialog has it too.
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/" NORVANTA_APP_ID ".svg")));
}

// Decided before the application object exists: a split opens no window and
// so needs no display, which lets it run over a remote shell. The values of
// --seed and --group are passed over, whatever they look like.
bool asksForSplit(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i) {
        const char *argument = argv[i];
        if (std::strcmp(argument, "--") == 0)
            return false;
        if (std::strcmp(argument, "--split") == 0 || std::strncmp(argument, "--split=", 8) == 0)
            return true;
        if (std::strcmp(argument, "--seed") == 0 || std::strcmp(argument, "--group") == 0)
            ++i;
    }
    return false;
}

// --help and --version only print: they are answered without the windowing
// system, so that they work where there is no display (a remote shell, a
// package's check). The values of the options that take one are passed over.
bool asksOnlyToBeTold(int argc, char *argv[])
{
    static const char *const valued[] = {"--split", "--seed", "--group",
                                         "--annotator", "--import", "--export",
                                         "--grant", "--revoke", "--overlap",
                                         "--import-predictions", "--export-predictions",
                                         "--model-name", "--predict", "--doubtful", "--top",
                                         "--agreement"};
    for (int i = 1; i < argc; ++i) {
        const char *argument = argv[i];
        if (std::strcmp(argument, "--") == 0)
            return false;
        for (const char *option : {"--help", "--help-all", "--version"}) {
            if (std::strcmp(argument, option) == 0)
                return true;
        }
        // -h, -? and -v, alone or written together (-hv).
        if (argument[0] == '-' && argument[1] != '-' && argument[1] != '\0'
            && std::strspn(argument + 1, "hv?") == std::strlen(argument + 1))
            return true;
        if (std::any_of(std::begin(valued), std::end(valued),
                        [argument](const char *option) { return std::strcmp(argument, option) == 0; }))
            ++i;
    }
    return false;
}

struct SplitOptions
{
    QCommandLineOption shares{QStringLiteral("split"),
                              text("不打开窗口：把 ANNOTATION_FILE 中已标记的行按比例（百分数，和为 "
                                   "100）划分为训练、验证和测试集，写入 OUTPUT_FOLDER"),
                              QStringLiteral("TRAIN,VAL,TEST")};
    QCommandLineOption seed{QStringLiteral("seed"), text("划分的种子（默认 0）"), QStringLiteral("N")};
    QCommandLineOption group{QStringLiteral("group"),
                             text("分组模式：名称中第一个捕获组相同的图片划入同一个集合"),
                             QStringLiteral("REGEX")};
};

// norvanta --split TRAIN,VAL,TEST [--seed N] [--group REGEX] ANNOTATION_FILE
// OUTPUT_FOLDER: 0 when written, 2 on a bad command line or a refusal, 1
// when a file could not be written.
int split(const QCommandLineParser &parser, const SplitOptions &options)
{
    const QStringList arguments = parser.positionalArguments();
    if (arguments.size() != 2)
        return refuse(text("--split 需要一个标签文件和一个输出目录"));
    TrainingSplit::Settings settings;
    if (!TrainingSplit::parseShares(parser.value(options.shares), &settings.shares))
        return refuse(text("比例无效：须为以逗号分隔的三个整数，如 80,10,10"));
    if (const QString problem = TrainingSplit::sharesProblem(settings.shares); !problem.isEmpty())
        return refuse(problem);
    if (parser.isSet(options.seed)) {
        const QString value = parser.value(options.seed);
        // Digits only: toLongLong() would also take a sign or spaces.
        const bool digits = !value.isEmpty() && value.size() <= 10
            && std::all_of(value.begin(), value.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
        const qint64 seed = value.toLongLong();
        if (!digits || seed > std::numeric_limits<int>::max())
            return refuse(text("种子无效：须为 0 到 %1 之间的整数").arg(std::numeric_limits<int>::max()));
        settings.seed = quint32(seed);
    }
    settings.pattern = parser.value(options.group);
    if (const QString problem = TrainingSplit::patternProblem(settings.pattern); !problem.isEmpty())
        return refuse(problem);

    const QString annotationPath = arguments.at(0);
    if (annotationPath.isEmpty() || QFileInfo(annotationPath).isDir())
        return refuse(text("不是标签文件：%1").arg(annotationPath));
    const QString folder = arguments.at(1);
    if (folder.isEmpty())
        return refuse(text("不是输出目录：%1").arg(folder));
    // Never replaced from here: a command line asks nobody.
    const QStringList existing = TrainingSplit::existingOutputs(folder);
    if (!existing.isEmpty())
        return refuse(text("%1 中已有 %2，不会替换").arg(folder, existing.join(text("、"))));

    const TrainingSplit::Outcome outcome =
        TrainingSplit::run(annotationPath, AnnotationFormat::catalogue(), settings, folder);
    if (!outcome.written) {
        refuse(outcome.problem);
        return outcome.failed ? 1 : 2;
    }
    std::printf("%s\n", qUtf8Printable(text("已写入 %1：train %2 张，val %3 张，test %4 张。")
                                           .arg(folder)
                                           .arg(outcome.rows[0])
                                           .arg(outcome.rows[1])
                                           .arg(outcome.rows[2])));
    return 0;
}

// Every option but those of the split, and the help text they go with.
struct ProgramOptions
{
    QCommandLineOption annotator{
        QStringLiteral("annotator"),
        text("保存标签的标注人（默认为环境变量 NORVANTA_ANNOTATOR，否则为数据库角色）"),
        QStringLiteral("NAME")};
    QCommandLineOption import{QStringLiteral("import"), text("把标签文件导入 ADDRESS 的数据集"),
                              QStringLiteral("FILE.csv")};
    QCommandLineOption exportTo{QStringLiteral("export"), text("把数据集导出为标签文件 FILE.csv"),
                                QStringLiteral("ADDRESS")};
    QCommandLineOption grant{QStringLiteral("grant"),
                             text("（数据库所有者）允许数据库角色 ROLE 使用 ADDRESS 的数据集"),
                             QStringLiteral("ROLE")};
    QCommandLineOption revoke{QStringLiteral("revoke"),
                              text("（数据库所有者）收回数据库角色 ROLE 对 ADDRESS 的数据集的使用权"),
                              QStringLiteral("ROLE")};
    QCommandLineOption overlap{QStringLiteral("overlap"),
                               text("（数据库所有者）让 ADDRESS 的数据集中 PERCENT% 的图片由两名标注人"
                                    "互不知情地分别标注"),
                               QStringLiteral("PERCENT")};
    QCommandLineOption reviewer{QStringLiteral("reviewer"),
                                text("与 --grant 一起：ROLE 还可审核该数据集的标签")};
    QCommandLineOption model{QStringLiteral("model"),
                             text("用模型 NAME.onnx（其说明 NAME.json 在旁）给出标签建议，"
                                  "并为该标签文件或数据集记住它"),
                             QStringLiteral("NAME.onnx")};
    QCommandLineOption predict{QStringLiteral("predict"),
                               text("不打开窗口：用模型 NAME.onnx 预测 IMAGE_FOLDER 中尚无预测的图片"),
                               QStringLiteral("NAME.onnx")};
    QCommandLineOption doubtful{QStringLiteral("doubtful"),
                                text("不打开窗口：列出 STORE 中模型建议有把握地反对的已标注图片"),
                                QStringLiteral("STORE")};
    QCommandLineOption top{QStringLiteral("top"), text("--doubtful 最多列出 N 张"),
                           QStringLiteral("N")};
    QCommandLineOption agreement{QStringLiteral("agreement"),
                                 text("不打开窗口：按标签列出 ADDRESS 的数据集中双标图片上两位标注人的一致程度"),
                                 QStringLiteral("ADDRESS")};
    SplitOptions split;
    PredictionOptions predictions;
};

// norvanta [ANNOTATION_FILE [IMAGE_FOLDER]]: the desktop's "Open with"
// hands over a CSV file this way.
void describe(QCommandLineParser &parser, const ProgramOptions &options)
{
    parser.setApplicationDescription(
        text("为图像标注缺陷类别，并把标注保存到 CSV 文件。\n\n"
             "  ANNOTATION_FILE  标签文件（CSV）；不给出时启动后询问\n"
             "  IMAGE_FOLDER     启动后加载其中图片的目录\n"
             "  ADDRESS          团队的标签数据库，代替标签文件：\n"
             "                   postgresql://[USER@][HOST][:PORT]/DBNAME?dataset=NAME[&PARAM=VALUE...]\n\n"
             "norvanta --split TRAIN,VAL,TEST [--seed N] [--group REGEX] ANNOTATION_FILE OUTPUT_FOLDER\n"
             "  不打开窗口，写入 OUTPUT_FOLDER 中的 train.csv、val.csv、test.csv 和 splits.txt；\n"
             "  其中已有这些文件时拒绝。写入后退出状态为 0，命令行无效或被拒绝时为 2，写入失败时为 1。\n\n"
             "norvanta --predict NAME.onnx ANNOTATION_FILE|ADDRESS IMAGE_FOLDER\n"
             "  不打开窗口，用所有处理器核心预测尚无预测的图片，分批存入标签文件旁或团队的服务器；\n"
             "  中断后再次运行只预测尚未存入的图片。"));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOptions({options.split.shares, options.split.seed, options.split.group});
    parser.addOptions({options.annotator, options.import, options.exportTo, options.grant,
                       options.revoke, options.reviewer, options.overlap, options.predict,
                       options.model});
    parser.addOptions({options.predictions.importFrom, options.predictions.exportFrom,
                       options.predictions.modelName, options.doubtful, options.top,
                       options.agreement});
    // Named in the usage line and described above: the help's own list of
    // arguments is only as wide as the longest option, too narrow for them.
    parser.addPositionalArgument(QString(), QString(), QStringLiteral("[ANNOTATION_FILE"));
    parser.addPositionalArgument(QString(), QString(), QStringLiteral("[IMAGE_FOLDER]]"));
}

// The help (also --help-all, which the help option brings along) or the
// version, when asked for: then the program ends.
bool toldHelpOrVersion(QCommandLineParser &parser)
{
    if (parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("help-all"))) {
        // Without the list's heading, which would stand alone at the end.
        QString helpText = parser.helpText();
        helpText.truncate(helpText.lastIndexOf(QStringLiteral("\n\n")) + 1);
        std::fputs(qUtf8Printable(helpText), stdout);
        return true;
    }
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();
    return false;
}

// The window reads a team's address as given; it is made known to be
// reachable, and its schema usable, before any window opens. 0 when it is.
int probeServer(const QString &annotationPath, const QString &annotator)
{
    int status = 0;
    const auto address = addressOf(annotationPath, &status);
    if (!address)
        return status;
    QString error;
    TeamDatabase probe(*address, labelCatalogue(), annotator, QString());
    if (!probe.open(&error))
        return refuse(text("无法连接标签数据库：") + error);
    return 0;
}

int runWindow(const QString &annotationPath, const QString &annotator, const QString &folder,
              const QString &model)
{
    Tavrelin window(annotationPath, annotator, nullptr);
    if (!window.hasAnnotationFile())
        return 0;
    // Refused before the window shows, as any wrong command line is.
    QString error;
    if (!model.isEmpty() && !window.chooseModel(model, &error))
        return refuse(error);

    window.setWindowTitle(QStringLiteral("Norvanta"));
    window.resize(500, 500);
    // Where it stood when the program last ended.
    WindowPlace::keep(&window, QStringLiteral("mainWindow"));
    window.show();
    // Loaded from the event loop, so that its boxes find the window running.
    if (!folder.isEmpty())
        QTimer::singleShot(0, &window, [&window, folder] { window.openFolder(folder); });
    return QCoreApplication::exec();
}

// The window on the named annotation file or team's dataset, and folder.
// Nothing is opened before the whole command line is found good.
int labelWith(const QStringList &arguments, const QString &annotator, const QString &model)
{
    if (arguments.size() > 2)
        return refuse(text("参数过多：只能给出一个标签文件和一个图片目录"));
    const QString annotationPath = arguments.value(0);
    const bool onServer = TeamAddress::isAddress(annotationPath);
    if (onServer) {
        if (const int status = probeServer(annotationPath, annotator); status != 0)
            return status;
    }
    if (arguments.size() >= 1 && !onServer
        && (annotationPath.isEmpty() || QFileInfo(annotationPath).isDir()))
        return refuse(text("不是标签文件：%1").arg(annotationPath));
    // As the folder dialog returns it: absolute, with "/" separators.
    const QString folder = arguments.size() == 2 ? QDir(arguments.at(1)).absolutePath() : QString();
    if (arguments.size() == 2 && (arguments.at(1).isEmpty() || !QFileInfo(folder).isDir()))
        return refuse(text("不是图片目录：%1").arg(arguments.at(1)));
    return runWindow(annotationPath, annotator, folder, model);
}

int grant(const QCommandLineParser &parser, const ProgramOptions &options)
{
    const bool granting = parser.isSet(options.grant);
    const QStringList arguments = parser.positionalArguments();
    if ((granting && parser.isSet(options.revoke)) || arguments.size() != 1)
        return refuse(granting ? text("用法：norvanta --grant ROLE ADDRESS [--reviewer]")
                               : text("用法：norvanta --revoke ROLE ADDRESS"));
    if (!granting && parser.isSet(options.reviewer))
        return refuse(text("--reviewer 只能与 --grant 一起使用"));
    const GrantReport report = changeGrant(parser.value(granting ? options.grant : options.revoke),
                                           arguments.at(0), granting,
                                           parser.isSet(options.reviewer));
    if (report.status != 0) {
        const int refused = refuse(report.text);
        return report.status == 1 ? 1 : refused;
    }
    std::fprintf(stdout, "%s\n", qUtf8Printable(report.text));
    return 0;
}

int overlap(const QString &percent, const QStringList &arguments)
{
    if (arguments.size() != 1)
        return refuse(text("用法：norvanta --overlap PERCENT ADDRESS"));
    const GrantReport report = changeOverlap(percent, arguments.at(0));
    if (report.status != 0) {
        const int refused = refuse(report.text);
        return report.status == 1 ? 1 : refused;
    }
    std::fprintf(stdout, "%s\n", qUtf8Printable(report.text));
    return 0;
}

int run(const QCommandLineParser &parser, const ProgramOptions &options, bool splitting)
{
    if (splitting)
        return split(parser, options.split);
    if (parser.isSet(options.split.seed) || parser.isSet(options.split.group))
        return refuse(text("--seed 和 --group 只能与 --split 一起使用"));
    const QStringList arguments = parser.positionalArguments();
    if (parser.isSet(options.grant) || parser.isSet(options.revoke))
        return grant(parser, options);
    if (parser.isSet(options.overlap))
        return overlap(parser.value(options.overlap), arguments);
    if (parser.isSet(options.reviewer))
        return refuse(text("--reviewer 只能与 --grant 一起使用"));
    if (parser.isSet(options.agreement))
        return printAgreement(parser.value(options.agreement), arguments.size());
    // Named by the option or the environment, by the same rules.
    const QString annotator = parser.isSet(options.annotator) ? parser.value(options.annotator)
                                                              : resolveAnnotator(QString());
    if ((parser.isSet(options.annotator) || !annotator.isEmpty()) && !isAnnotatorName(annotator))
        return refuse(text("标注人名称无效：%1").arg(annotator));
    if (parser.isSet(options.predictions.importFrom) || parser.isSet(options.predictions.exportFrom))
        return movePredictions(parser, options.predictions);
    if (parser.isSet(options.predictions.modelName))
        return refuse(text("--model-name 只能与 --import-predictions 或 --export-predictions 一起使用"));
    if (parser.isSet(options.doubtful))
        return listDoubtful(parser.value(options.doubtful), parser.value(options.top), arguments.size());
    if (parser.isSet(options.predict))
        return predictImages(parser.value(options.predict), arguments);
    // A model is chosen for a store named here: the file dialog at start
    // names one too late.
    const bool withModel = parser.isSet(options.model);
    if (withModel
        && (arguments.isEmpty() || parser.isSet(options.import) || parser.isSet(options.exportTo)))
        return refuse(text("--model 只能与标签文件或团队地址一起使用"));
    if (parser.isSet(options.import) || parser.isSet(options.exportTo))
        return transfer(parser.value(options.import), parser.value(options.exportTo), arguments,
                        annotator);
    return labelWith(arguments, annotator, parser.value(options.model));
}

} // namespace

int main(int argc, char *argv[])
{
    const bool splitting = asksForSplit(argc, argv);
    const bool windowed =
        !splitting && !movesADataset(argc, argv) && !asksToPredict(argc, argv)
        && !asksToMovePredictions(argc, argv) && !asksForDoubtful(argc, argv)
        && !asksForAgreement(argc, argv)
        && !asksOnlyToBeTold(argc, argv);
    const std::unique_ptr<QCoreApplication> app =
        windowed ? std::make_unique<QApplication>(argc, argv)
                 : std::make_unique<QCoreApplication>(argc, argv);
    nameTheProgram(windowed);

    // The toolkit's own texts (the buttons of every box, the file dialogs,
    // the command line's help) in Chinese like the window, whatever the
    // system's language. Its catalogue holds no text of the window's own,
    // which stay as written.
    QTranslator toolkitTexts;
    if (toolkitTexts.load(QStringLiteral("qt_zh_CN"),
                          QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(&toolkitTexts);

    QCommandLineParser parser;
    const ProgramOptions options;
    describe(parser, options);
    if (!parser.parse(QCoreApplication::arguments()))
        return refuse(parser.errorText());
    if (toldHelpOrVersion(parser))
        return 0;
    return run(parser, options, splitting);
}
