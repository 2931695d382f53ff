// Parses and writes back a Catalog answer of 1,000 items and a 64 KiB stream of
// Keepalive notifications with XMLNode and with tinyxml2 (DOM parse, printer),
// then prints tinyxml2's time over ours: above 1 means XMLNode is faster.

#include "manscdp/xml/XMLNode.h"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <tinyxml2.h>
#include <vector>

namespace {

std::string CatalogBody(int items) {
    std::string s = "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n<Response>\r\n"
                    "<CmdType>Catalog</CmdType>\r\n<SN>11</SN>\r\n"
                    "<DeviceID>34020000001320000001</DeviceID>\r\n<SumNum>" +
                    std::to_string(items) + "</SumNum>\r\n<DeviceList Num=\"" +
                    std::to_string(items) + "\">\r\n";
    for (int i = 0; i < items; ++i) {
        char id[32];
        std::snprintf(id, sizeof id, "340200000013100%05d", i);
        s += "<Item>\r\n<DeviceID>";
        s += id;
        // "号摄像机" in GBK after the channel number.
        s += "</DeviceID>\r\n<Name>" + std::to_string(i + 1) +
             "\xBA\xC5\xC9\xE3\xCF\xF1\xBB\xFA</Name>\r\n"
             "<Manufacturer>Hikvision</Manufacturer>\r\n<Model>IP Camera</Model>\r\n"
             "<Owner>Owner</Owner>\r\n<CivilCode>3402000000</CivilCode>\r\n"
             "<Address>\xB4\xF3\xCC\xFC</Address>\r\n<Parental>0</Parental>\r\n"
             "<ParentID>34020000001320000001</ParentID>\r\n<SafetyWay>0</SafetyWay>\r\n"
             "<RegisterWay>1</RegisterWay>\r\n<Secrecy>0</Secrecy>\r\n<Status>ON</Status>\r\n"
             "<Longitude>117.2</Longitude>\r\n<Latitude>31.8</Latitude>\r\n</Item>\r\n";
    }
    return s + "</DeviceList>\r\n</Response>\r\n";
}

std::vector<std::string> KeepaliveStream(std::size_t bytes) {
    std::vector<std::string> v;
    std::size_t total = 0;
    for (int sn = 1; total < bytes; ++sn) {
        std::string s = "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n<Notify>\r\n"
                        "<CmdType>Keepalive</CmdType>\r\n<SN>" +
                        std::to_string(sn) +
                        "</SN>\r\n<DeviceID>34020000001320000001</DeviceID>\r\n"
                        "<Status>OK</Status>\r\n</Notify>\r\n";
        total += s.size();
        v.push_back(std::move(s));
    }
    return v;
}

const std::string& Catalog() {
    static const std::string s = CatalogBody(1000);
    return s;
}
const std::vector<std::string>& Keepalives() {
    static const std::vector<std::string> v = KeepaliveStream(64 * 1024);
    return v;
}

void SetBytes(benchmark::State& st, std::size_t bytes) {
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * bytes));
}

std::size_t StreamBytes() {
    std::size_t n = 0;
    for (const auto& s : Keepalives())
        n += s.size();
    return n;
}

void Catalog_Parse_XMLNode(benchmark::State& st) {
    for (auto _ : st) {
        XMLNode n = XMLNode::Parse(Catalog());
        benchmark::DoNotOptimize(n);
    }
    SetBytes(st, Catalog().size());
}
void Catalog_Parse_tinyxml2(benchmark::State& st) {
    for (auto _ : st) {
        tinyxml2::XMLDocument doc;
        doc.Parse(Catalog().data(), Catalog().size());
        benchmark::DoNotOptimize(doc.RootElement());
    }
    SetBytes(st, Catalog().size());
}
void Catalog_Write_XMLNode(benchmark::State& st) {
    const XMLNode n = XMLNode::Parse(Catalog());
    for (auto _ : st) {
        std::string s = n.Serialize();
        benchmark::DoNotOptimize(s.data());
    }
    SetBytes(st, Catalog().size());
}
void Catalog_Write_tinyxml2(benchmark::State& st) {
    tinyxml2::XMLDocument doc;
    doc.Parse(Catalog().data(), Catalog().size());
    for (auto _ : st) {
        tinyxml2::XMLPrinter printer;
        doc.Print(&printer);
        benchmark::DoNotOptimize(printer.CStr());
    }
    SetBytes(st, Catalog().size());
}

void Keepalive_Parse_XMLNode(benchmark::State& st) {
    for (auto _ : st) {
        for (const auto& body : Keepalives()) {
            XMLNode n = XMLNode::Parse(body);
            benchmark::DoNotOptimize(n.FindText("CmdType"));
        }
    }
    SetBytes(st, StreamBytes());
}
void Keepalive_Parse_tinyxml2(benchmark::State& st) {
    for (auto _ : st) {
        for (const auto& body : Keepalives()) {
            tinyxml2::XMLDocument doc;
            doc.Parse(body.data(), body.size());
            benchmark::DoNotOptimize(doc.RootElement());
        }
    }
    SetBytes(st, StreamBytes());
}
void Keepalive_Write_XMLNode(benchmark::State& st) {
    std::vector<XMLNode> trees;
    for (const auto& body : Keepalives())
        trees.push_back(XMLNode::Parse(body));
    for (auto _ : st) {
        for (const auto& t : trees) {
            std::string s = t.Serialize();
            benchmark::DoNotOptimize(s.data());
        }
    }
    SetBytes(st, StreamBytes());
}
void Keepalive_Write_tinyxml2(benchmark::State& st) {
    std::vector<std::unique_ptr<tinyxml2::XMLDocument>> docs;
    for (const auto& body : Keepalives()) {
        docs.push_back(std::make_unique<tinyxml2::XMLDocument>());
        docs.back()->Parse(body.data(), body.size());
    }
    for (auto _ : st) {
        for (const auto& d : docs) {
            tinyxml2::XMLPrinter printer;
            d->Print(&printer);
            benchmark::DoNotOptimize(printer.CStr());
        }
    }
    SetBytes(st, StreamBytes());
}

BENCHMARK(Catalog_Parse_XMLNode);
BENCHMARK(Catalog_Parse_tinyxml2);
BENCHMARK(Catalog_Write_XMLNode);
BENCHMARK(Catalog_Write_tinyxml2);
BENCHMARK(Keepalive_Parse_XMLNode);
BENCHMARK(Keepalive_Parse_tinyxml2);
BENCHMARK(Keepalive_Write_XMLNode);
BENCHMARK(Keepalive_Write_tinyxml2);

// Console output plus the CPU time per iteration of every run, for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs)
            if (r.run_type == Run::RT_Iteration && r.iterations > 0)
                perIteration[r.benchmark_name()] =
                    r.cpu_accumulated_time / static_cast<double>(r.iterations);
    }
    std::map<std::string, double> perIteration;
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\nratio = tinyxml2 time / XMLNode time (above 1: XMLNode is faster)\n");
    for (const char* body : {"Catalog", "Keepalive"}) {
        for (const char* op : {"Parse", "Write"}) {
            const std::string base = std::string(body) + "_" + op + "_";
            const auto ours = reporter.perIteration.find(base + "XMLNode");
            const auto ref = reporter.perIteration.find(base + "tinyxml2");
            if (ours == reporter.perIteration.end() || ref == reporter.perIteration.end()) continue;
            std::printf("%-10s %-6s ratio %.2f\n", body, op, ref->second / ours->second);
        }
    }
    benchmark::Shutdown();
    return 0;
}
